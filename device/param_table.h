/*
 * param_table.h - the parameter types the device knows: their record sizes,
 * how many records each has, and their defaults.
 */
#ifndef RECNET_DEVICE_PARAM_TABLE_H
#define RECNET_DEVICE_PARAM_TABLE_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "store.h"

enum class ParamScope { Single, PerChannel, PerSerialPort };

struct ParamType {
    uint16_t type;
    size_t size;  // bytes of one record (a channel's block for per-channel types)
    ParamScope scope;
};

// The entry of `type`, or null for a type the device does not know.
const ParamType* findParamType(uint16_t type);

// Every known type.
const std::vector<ParamType>& paramTypes();

// How many records `type` has on this device (1, the channels or the ports).
size_t paramRecordCount(const ParamType& type);

// The default record `index` of `type`.
Bytes defaultParam(uint16_t type, size_t index);

// Fills in every missing record with its default, then puts the running
// configuration (channel and serial port counts, base port, address) into the
// stored system-configuration and network records. Call before the module
// starts.
bool ensureParamDefaults();

// Restores the defaults of every parameter type (resets keep the running
// configuration, as above).
bool resetAllParams();

// Restores the defaults of one type.
bool resetParam(uint16_t type);

// The host functions that restore one type: resetParam(type), then `line` in
// the device log under `category`. Returns 0, or -1 on a store failure
// (nothing is logged then).
int resetParamLogged(uint16_t type, uint32_t category, const char* line);

#endif
