/*
 * setup.cpp - bringing the device's state up before the module starts.
 */
#include <sodium.h>

#include "device_state.h"
#include "param_table.h"
#include "store.h"

bool prepareDeviceState(std::string& error) {
    if (sodium_init() < 0) {
        error = "cannot initialise libsodium";
        return false;
    }
    if (!deviceStore().open(deviceState().stateDir + "/device.db", error)) return false;
    loadDeviceClock();
    if (!ensureParamDefaults() || !ensureDefaultUser() || !ensureVersionRecord() || !loadDisks()) {
        error = "cannot write the defaults to " + deviceState().stateDir + "/device.db";
        return false;
    }
    return prepareRecordFolder(error) && prepareFlash(error);
}

void closeDeviceState() { deviceStore().close(); }
