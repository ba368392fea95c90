// The recnet device commands, run as a user runs them: the real CLI against
// the real device. Outputs are checked as text; device state is checked with
// the CLI's own reads and, for the serial port, at the pseudo-terminal.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "device_fixture.h"

using e2e::contains;
using e2e::Device;

namespace {

// The lines of `text`, without their newlines.
std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
        out.push_back(text.substr(start, nl - start));
    }
    if (start < text.size()) out.push_back(text.substr(start));
    return out;
}

}  // namespace

TEST(CliUsers, ListAddModifyDeleteAndRefusals) {
    Device d;
    ASSERT_FALSE(d.ready.empty());

    auto list = d.cli({"user", "list"});
    ASSERT_EQ(list.exitCode, 0) << list.err;
    EXPECT_EQ(list.out, "admin                   rights 0xffffffff\n");
    auto json = d.cli({"user", "list"}, {"--json"});
    EXPECT_EQ(json.out, "{\"users\":[{\"name\":\"admin\",\"rights\":4294967295}]}\n");

    auto add = d.cli({"user", "add", "operator1", "s3cret", "--rights", "0x5"});
    ASSERT_EQ(add.exitCode, 0) << add.err;
    EXPECT_EQ(add.out, "user operator1 added\n");
    list = d.cli({"user", "list"});
    EXPECT_TRUE(contains(list.out, "operator1               rights 0x00000005\n")) << list.out;

    // The new account logs in with its password.
    auto login = d.cli({"login"}, {"--user", "operator1", "--password", "s3cret"});
    EXPECT_EQ(login.exitCode, 0) << login.err;

    auto dup = d.cli({"user", "add", "operator1", "other"});
    EXPECT_EQ(dup.exitCode, 1);
    EXPECT_EQ(dup.err, "recnet: add user 'operator1': failed (status 0xff)\n");

    EXPECT_EQ(d.cli({"user", "modify", "operator1", "--rights", "7"}).exitCode, 0);
    EXPECT_TRUE(contains(d.cli({"user", "list"}).out, "operator1               rights 0x00000007"));
    auto del = d.cli({"user", "delete", "operator1"});
    EXPECT_EQ(del.exitCode, 0) << del.err;
    EXPECT_EQ(d.cli({"user", "list"}).out, "admin                   rights 0xffffffff\n");

    auto last = d.cli({"user", "delete", "admin"});
    EXPECT_EQ(last.exitCode, 1);
    EXPECT_EQ(last.err, "recnet: delete user 'admin': failed (status 0xff)\n");
    EXPECT_EQ(d.cli({"login"}).exitCode, 0);  // admin is still there
}

TEST(CliParams, AChangedParameterLeavesAnAuditLineInTheLog) {
    Device d;
    ASSERT_FALSE(d.ready.empty());
    EXPECT_EQ(d.cli({"param", "get", "record-type"}).out,
              "mode: 2\nprerecord_seconds: 5\nfile_minutes: 30\noverwrite: 1\n");

    // mode 1, pre-record 10 s, 15-minute files, overwrite on.
    auto set = d.cli({"param", "set", "21", "--hex", "01000000 0a000000 0f000000 01000000"});
    ASSERT_EQ(set.exitCode, 0) << set.err;
    EXPECT_EQ(d.cli({"param", "get", "21"}).out,
              "mode: 1\nprerecord_seconds: 10\nfile_minutes: 15\noverwrite: 1\n");
    EXPECT_EQ(d.cli({"param", "get", "21", "--hex"}).out, "010000000a0000000f00000001000000\n");

    auto log = d.cli({"log", "list", "--category", "operation"});
    ASSERT_EQ(log.exitCode, 0) << log.err;
    std::vector<std::string> audit = lines(log.out);
    ASSERT_EQ(audit.size(), 1u) << log.out;
    EXPECT_TRUE(contains(audit[0], "  operation  admin 127.0.0.1 modify record type param"))
        << audit[0];

    // The same value again changes nothing and writes no second line.
    EXPECT_EQ(d.cli({"param", "set", "21", "--hex", "010000000a0000000f00000001000000"}).exitCode,
              0);
    EXPECT_EQ(lines(d.cli({"log", "list", "--category", "4"}).out).size(), 1u);

    auto json = d.cli({"log", "list", "--category", "operation"}, {"--json"});
    EXPECT_TRUE(contains(json.out,
                         "\"category\":4,\"category_name\":\"operation\","
                         "\"text\":\"admin 127.0.0.1 modify record type param\""))
        << json.out;

    // One channel's record, decoded, and the reset of a channel's video config.
    EXPECT_TRUE(contains(d.cli({"param", "get", "13", "--channel", "2"}).out, "name: CH03\n"));
    EXPECT_EQ(d.cli({"param", "reset-video", "1"}).exitCode, 0);
    auto bad = d.cli({"param", "reset-video", "4"});  // four channels: 0..3
    EXPECT_EQ(bad.exitCode, 1);
    EXPECT_TRUE(contains(bad.err, "failed (status 0xff)")) << bad.err;

    // A deleted category is gone from the list.
    EXPECT_EQ(d.cli({"log", "delete", "--category", "operation"}).exitCode, 0);
    EXPECT_EQ(d.cli({"log", "list", "--category", "operation"}).out, "");
}

TEST(CliInfo, VersionStatusAndTheOtherRecords) {
    Device d({"--disks", "2"});
    ASSERT_FALSE(d.ready.empty());
    auto version = d.cli({"info", "version"});
    ASSERT_EQ(version.exitCode, 0) << version.err;
    EXPECT_TRUE(contains(version.out, "firmware: recnet-device 1.0.0\n")) << version.out;
    auto json = d.cli({"info", "version"}, {"--json"});
    EXPECT_TRUE(contains(json.out, "{\"firmware\":\"recnet-device 1.0.0\",")) << json.out;

    EXPECT_EQ(d.cli({"version", "set", "recnet-device 1.0.1"}).exitCode, 0);
    EXPECT_TRUE(contains(d.cli({"info", "version"}).out, "firmware: recnet-device 1.0.1\n"));

    auto status = d.cli({"info", "status"});
    EXPECT_TRUE(contains(status.out, "channels: 4\n")) << status.out;
    EXPECT_TRUE(contains(status.out, "disks: 2\n")) << status.out;
    auto disk = d.cli({"info", "disk"}, {"--json"});
    EXPECT_TRUE(contains(disk.out, "{\"disk\":1,\"state\":\"ready\"")) << disk.out;
    EXPECT_EQ(d.cli({"info", "platform"}).out, "platform 1 (reference device)\n");
    EXPECT_EQ(d.cli({"info", "update"}).out, "update 0x00000001 (firmware upload supported)\n");
    EXPECT_TRUE(contains(d.cli({"info", "wifi"}).out, "ssid="));
}

TEST(CliDisks, FormatShowsProgressToTheEndAndBusyIsReported) {
    // Six seconds per format: long enough for the busy checks below to land
    // inside a running format even on a loaded machine.
    Device d({"--format-seconds", "6"});
    ASSERT_FALSE(d.ready.empty());
    auto format = d.cli({"disk", "format", "0", "0", "3"});
    ASSERT_EQ(format.exitCode, 0) << format.err;
    std::vector<std::string> progress = lines(format.out);
    ASSERT_GE(progress.size(), 4u) << format.out;
    EXPECT_EQ(progress.front(), "format disk 0 partition 0 0%");
    EXPECT_EQ(progress[progress.size() - 2], "format disk 0 partition 0 100%");
    EXPECT_EQ(progress.back(), "format of disk 0 partition 0 done");
    EXPECT_TRUE(contains(d.cli({"info", "disk"}).out,
                         "formatted, 1000.2 GB, 1000.2 GB free, file system 3"));

    // While a format runs, the device answers busy, and recnet says so.
    ASSERT_EQ(d.cli({"disk", "format", "0", "0", "--no-wait"}).exitCode, 0);
    auto fdiskBusy = d.cli({"disk", "fdisk", "0", "2"});
    EXPECT_EQ(fdiskBusy.exitCode, 4);
    EXPECT_TRUE(contains(fdiskBusy.err, "(status 0x12)")) << fdiskBusy.err;
    auto busy = d.cli({"disk", "format", "0", "0"});
    EXPECT_EQ(busy.exitCode, 4);
    EXPECT_TRUE(contains(busy.err, "device busy")) << busy.err;
    EXPECT_TRUE(contains(busy.err, "(status 0x11)")) << busy.err;

    // Wait for the running format to end.
    auto info = d.cli({"info", "disk"});
    for (int i = 0; i < 60 && info.exitCode == 4; ++i) {
        usleep(250 * 1000);
        info = d.cli({"info", "disk"});
    }
    ASSERT_EQ(info.exitCode, 0) << info.err;

    // A partition that does not exist is refused.
    auto missing = d.cli({"disk", "format", "0", "3"});
    EXPECT_EQ(missing.exitCode, 1) << missing.err;
    EXPECT_EQ(missing.err, "recnet: format disk 0 partition 3: failed (status 0xff)\n");

    auto fdisk = d.cli({"disk", "fdisk", "0", "2"});
    ASSERT_EQ(fdisk.exitCode, 0) << fdisk.err;
    EXPECT_TRUE(contains(fdisk.out, "disk 0 partitioned into 2 partitions\n")) << fdisk.out;
    auto disk = d.cli({"info", "disk"});
    EXPECT_TRUE(contains(disk.out, "  partition 1: unformatted")) << disk.out;
}

TEST(CliControl, RebootAndLogInAgain) {
    Device d;
    ASSERT_FALSE(d.ready.empty());
    auto reboot = d.cli({"reboot", "--wait"});
    ASSERT_EQ(reboot.exitCode, 0) << reboot.err;
    EXPECT_TRUE(contains(reboot.out, "device is back after ")) << reboot.out;
    auto login = d.cli({"login"});
    EXPECT_EQ(login.exitCode, 0) << login.err;
    EXPECT_TRUE(contains(d.cli({"info", "status"}).out, "server_starts: 2\n"));
    auto log = d.cli({"log", "list", "--category", "system"});
    EXPECT_TRUE(contains(log.out, "server restarted")) << log.out;
}

TEST(CliSerial, TextSentReachesThePseudoTerminal) {
    Device d({"--serial-ports", "2"});
    ASSERT_FALSE(d.ready.empty());
    // "serial 0: PATH", "serial 1: PATH", then the ready line.
    const std::string out = d.child->out();
    EXPECT_LT(out.find("serial 0: /dev/pts/"), out.find("\nserial 1: /dev/pts/")) << out;
    EXPECT_LT(out.find("\nserial 1: /dev/pts/"), out.find("\nready")) << out;
    const int pty = d.openSerial(0);
    ASSERT_GE(pty, 0) << out;
    auto text = d.cli({"serial", "send", "hello pty"});
    EXPECT_EQ(text.exitCode, 0) << text.err;
    EXPECT_EQ(text.out, "9 bytes sent to the serial port\n");
    auto hex = d.cli({"serial", "send", "--hex", "0d0a"});
    EXPECT_EQ(hex.exitCode, 0) << hex.err;
    EXPECT_EQ(e2e::readUpTo(pty, 11), "hello pty\r\n");
    // With the send switch off, the answer is the same and nothing arrives.
    ASSERT_EQ(d.cli({"param", "set", "23", "--hex", "00010000"}).exitCode, 0);
    EXPECT_EQ(d.cli({"serial", "send", "quiet"}).exitCode, 0);
    pollfd p{pty, POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 500), 0);
    ::close(pty);
    auto tooLong = d.cli({"serial", "send", std::string(1025, 'x')});
    EXPECT_EQ(tooLong.exitCode, 2);
}

TEST(CliControl, PtzRecordingKeyFramesAndMaintenance) {
    Device d;
    ASSERT_FALSE(d.ready.empty());
    EXPECT_EQ(d.cli({"ptz", "1", "left", "--speed", "10"}).exitCode, 0);
    EXPECT_EQ(d.cli({"ptz", "9", "up"}).exitCode, 1);  // no channel 9
    EXPECT_EQ(d.cli({"iframe", "0"}).out, "key frame requested on channel 0\n");

    EXPECT_EQ(d.cli({"record", "start", "2", "--kind", "sub", "--minutes", "5"}).exitCode, 0);
    EXPECT_EQ(d.cli({"param", "get", "24", "--channel", "2"}).out, "on: 1\nkind: 1\nminutes: 5\n");
    EXPECT_EQ(d.cli({"record", "stop", "2"}).exitCode, 0);
    EXPECT_EQ(d.cli({"param", "get", "24", "--channel", "2"}).out, "on: 0\nkind: 0\nminutes: 0\n");

    for (const char* c :
         {"default-setting", "resume-default", "cmos-default", "3g-reset", "factory-reset"}) {
        auto r = d.cli({c});
        EXPECT_EQ(r.exitCode, 0) << c << ": " << r.err;
    }
    EXPECT_EQ(d.cli({"3g-default", "1"}).exitCode, 0);
    EXPECT_EQ(d.cli({"session-flag", "1"}).exitCode, 0);
    EXPECT_EQ(d.cli({"camera", "init"}).exitCode, 0);
    EXPECT_EQ(d.cli({"worker", "start"}).exitCode, 0);
}

TEST(CliRecordFiles, DeleteByName) {
    Device d;
    ASSERT_FALSE(d.ready.empty());
    const std::filesystem::path folder = std::filesystem::path(d.state) / "records";
    std::filesystem::create_directories(folder);
    std::ofstream(folder / "ch01-0001.h264") << "frames";
    auto del = d.cli({"file", "delete", "ch01-0001.h264"});
    EXPECT_EQ(del.exitCode, 0) << del.err;
    EXPECT_FALSE(std::filesystem::exists(folder / "ch01-0001.h264"));
    auto again = d.cli({"file", "delete", "ch01-0001.h264"});
    EXPECT_EQ(again.exitCode, 1);
    EXPECT_EQ(again.err, "recnet: delete record file 'ch01-0001.h264': failed (status 0xff)\n");
    // Only names inside the records folder are deleted.
    for (const char* name : {"../device.db", "/etc/hostname"})
        EXPECT_EQ(d.cli({"file", "delete", name}).exitCode, 1) << name;
    EXPECT_TRUE(std::filesystem::exists(std::filesystem::path(d.state) / "device.db"));
}

TEST(CliErrors, FailuresGiveAClearLineAndANonZeroStatus) {
    Device d;
    ASSERT_FALSE(d.ready.empty());
    auto refused = d.cli({"param", "set", "999", "--hex", "00"});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_EQ(refused.err, "recnet: set parameter 999: failed (status 0xff)\n");
    EXPECT_EQ(refused.out, "");

    auto usage = d.cli({"user", "frobnicate"});
    EXPECT_EQ(usage.exitCode, 2);
    EXPECT_TRUE(contains(usage.err, "unknown user action 'frobnicate'")) << usage.err;
    EXPECT_EQ(d.cli({"log", "delete"}).exitCode, 2);  // neither a filter nor --all
    EXPECT_EQ(d.cli({"time", "set", "tomorrow"}).exitCode, 2);
    auto invalid = d.cli({"time", "set", "2031-02-30 00:00:00"});  // the device refuses it
    EXPECT_EQ(invalid.exitCode, 1);
    EXPECT_EQ(invalid.err, "recnet: set time: failed (status 0xff)\n");

    const uint16_t port = d.port;
    d.child->signal(SIGTERM);
    d.child->wait(10000);
    d.child.reset();
    auto gone = testproc::run(RECNET_CLI_PATH, {"--port", std::to_string(port), "user", "list"});
    EXPECT_EQ(gone.exitCode, 1);
    EXPECT_TRUE(contains(gone.err, "connection refused")) << gone.err;
}

TEST(CliCommandLine, BadLinesGiveOneClearLineAndTheUsageStatus) {
    // Refused before any connection: no device runs on this port.
    const std::string port = std::to_string(testnet::pickBasePort());
    const struct {
        std::vector<std::string> args;
        const char* says;
    } bad[] = {
        {{"--port", "70000", "login"}, "--port: bad value '70000'"},
        {{"--port", port, "login", "--bogus"}, "unknown option --bogus for login"},
        {{"--port", port, "raw", "0x103", "--json"}, "option --json goes before the command"},
        {{"--port", port, "user", "add", "bob"}, "user add: PASSWORD is required"},
        {{"--port", port, "ptz", "1", "sideways"}, "unknown PTZ action 'sideways'"},
        {{"--port", port, "record", "start", "1", "--kind", "third"}, "bad value 'third'"},
        {{"--port", port, "frobnicate"}, "unknown command 'frobnicate'"},
        {{"--port", port, "disk"}, "disk needs one of fdisk, format"},
    };
    for (const auto& b : bad) {
        auto r = testproc::run(RECNET_CLI_PATH, b.args);
        EXPECT_EQ(r.exitCode, 2) << b.says << ": " << r.err;
        EXPECT_EQ(r.out, "");
        const std::vector<std::string> err = lines(r.err);
        ASSERT_EQ(err.size(), 2u) << r.err;  // the message, then the synopsis
        EXPECT_EQ(err[0].rfind("recnet: ", 0), 0u) << r.err;
        EXPECT_TRUE(contains(err[0], b.says)) << r.err;
        EXPECT_EQ(err[1].rfind("usage: recnet ", 0), 0u) << r.err;
    }
    auto help = testproc::run(RECNET_CLI_PATH, {"user", "add", "--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_TRUE(contains(help.out, "--rights")) << help.out;
}

TEST(CliCommandLine, PasswordFromTheEnvironmentAndJsonThatParses) {
    Device d;
    ASSERT_FALSE(d.ready.empty());
    ASSERT_EQ(d.cli({"user", "add", "carol", "s3cret"}).exitCode, 0);
    // RECNET_PASSWORD stands in for --password; --password wins over it.
    ::setenv("RECNET_PASSWORD", "s3cret", 1);
    auto fromEnv = d.cli({"login"}, {"--user", "carol"});
    auto given = d.cli({"login"}, {"--password", "admin"});
    ::setenv("RECNET_PASSWORD", "wrong", 1);
    auto wrong = d.cli({"login"}, {"--user", "carol"});
    ::unsetenv("RECNET_PASSWORD");
    EXPECT_EQ(fromEnv.exitCode, 0) << fromEnv.err;
    EXPECT_EQ(given.exitCode, 0) << given.err;
    EXPECT_EQ(wrong.exitCode, 1);
    EXPECT_EQ(wrong.err, "recnet: login refused: wrong password\n");

    auto users = nlohmann::json::parse(d.cli({"user", "list"}, {"--json"}).out);
    ASSERT_EQ(users["users"].size(), 2u) << users;
    EXPECT_EQ(users["users"][1]["name"], "carol");
    EXPECT_EQ(users["users"][1]["rights"], 0xffffffffu);
    auto status = nlohmann::json::parse(d.cli({"info", "status"}, {"--json"}).out);
    EXPECT_EQ(status["channels"], 4);
    EXPECT_EQ(status["users"], 2);
    auto raw = nlohmann::json::parse(d.cli({"raw", "0x104"}, {"--json"}).out);
    EXPECT_EQ(raw["length"], 72);
    EXPECT_EQ(raw["payload"].get<std::string>().size(), 144u);
    auto param = nlohmann::json::parse(d.cli({"param", "get", "record-type"}, {"--json"}).out);
    EXPECT_EQ(param["type"], 21);
    EXPECT_TRUE(param["records"][0]["mode"].is_number()) << param;
}
