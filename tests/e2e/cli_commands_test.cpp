// The recnet commands as a user runs them: the real CLI against the real
// device, with the outputs, error lines and exit codes of docs/cli.md.
#include <fcntl.h>
#include <poll.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "device_fixture.h"

using e2e::contains;
using e2e::Device;
namespace fs = std::filesystem;

namespace {

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

struct Refusal {
    std::vector<std::string> args;
    std::string err;  // what stderr starts with
};

// Each command fails with `exitCode`, nothing on stdout, and `err` on stderr.
void expectRefusals(const Device& d, int exitCode, std::initializer_list<Refusal> rows,
                    const std::vector<std::string>& globals = {}) {
    for (const Refusal& row : rows) {
        auto r = d.cli(row.args, globals);
        EXPECT_TRUE(r.exitCode == exitCode && r.err.rfind(row.err, 0) == 0 && r.out.empty())
            << row.args[0] << ": exit " << r.exitCode << ", " << r.out << r.err;
    }
}

}  // namespace

TEST(CliUsers, ListAddModifyDeleteAndRefusals) {
    Device d;
    EXPECT_EQ(d.ok({"user", "list"}), "admin                   rights 0xffffffff\n");
    EXPECT_EQ(d.ok({"user", "list"}, {"--json"}), "{\"users\":[{\"name\":\"admin\",\"rights\":4294967295}]}\n");
    EXPECT_EQ(d.ok({"user", "add", "operator1", "s3cret-pw", "--rights", "0x5"}), "user operator1 added\n");
    EXPECT_TRUE(contains(d.ok({"user", "list"}), "operator1               rights 0x00000005\n"));

    // The list's records (56 bytes, the password at 24..47) carry no password,
    // and no file of the state folder holds it in clear text.
    const std::string hex = nlohmann::json::parse(d.ok({"raw", "0x80e"}, {"--json"}))["payload"];
    ASSERT_EQ(hex.size(), 2u * (4 + 2 * 56)) << hex;
    for (size_t rec = 0; rec < 2; ++rec)
        EXPECT_EQ(hex.substr(2 * (4 + rec * 56 + 24), 48), std::string(48, '0')) << rec;
    for (const auto& f : fs::recursive_directory_iterator(d.state)) {
        std::ifstream in(f.path(), std::ios::binary);
        EXPECT_FALSE(f.is_regular_file() && contains(std::string(std::istreambuf_iterator<char>(in), {}), "s3cret-pw"))
            << f.path();
    }

    // modify --rights keeps the password, modify --password the rights.
    d.ok({"user", "modify", "operator1", "--rights", "7"});
    d.ok({"login"}, {"--user", "operator1", "--password", "s3cret-pw"});
    d.ok({"user", "modify", "operator1", "--password", "n3w"});
    EXPECT_TRUE(contains(d.ok({"user", "list"}), "operator1               rights 0x00000007\n"));
    const std::vector<std::string> op = {"--user", "operator1", "--password", "n3w"};
    d.ok({"login"}, op);

    d.ok({"user", "delete", "admin"});
    EXPECT_EQ(d.cli({"login"}).exitCode, 1);  // admin is gone
    expectRefusals(d, 1, {
        {{"user", "add", "operator1", "other"}, "recnet: add user 'operator1': failed (status 0xff)\n"},
        {{"user", "add", "", "pw"}, "recnet: add user '': failed (status 0xff)\n"},
        {{"user", "modify", "nobody", "--rights", "1"}, "recnet: modify user 'nobody': failed (status 0xff)\n"},
        {{"user", "delete", "nobody"}, "recnet: delete user 'nobody': failed (status 0xff)\n"},
        {{"user", "delete", "operator1"}, "recnet: delete user 'operator1': failed (status 0xff)\n"},  // the last
    }, op);
    d.ok({"login"}, op);
}

TEST(CliParams, AChangedParameterLeavesAnAuditLineInTheLog) {
    Device d;
    const std::string defaults = "mode: 2\nprerecord_seconds: 5\nfile_minutes: 30\noverwrite: 1\n";
    EXPECT_EQ(d.ok({"param", "get", "record-type"}), defaults);
    // mode 1, pre-record 10 s, 15-minute files, overwrite on.
    d.ok({"param", "set", "21", "--hex", "01000000 0a000000 0f000000 01000000"});
    EXPECT_EQ(d.ok({"param", "get", "21"}), "mode: 1\nprerecord_seconds: 10\nfile_minutes: 15\noverwrite: 1\n");
    EXPECT_EQ(d.ok({"param", "get", "21", "--hex"}), "010000000a0000000f00000001000000\n");
    const std::string log = d.ok({"log", "list", "--category", "operation"});
    EXPECT_TRUE(lines(log).size() == 1 && contains(log, "  operation  admin 127.0.0.1 modify record type param\n"))
        << log;

    // The same value again changes nothing and writes no second line.
    d.ok({"param", "set", "21", "--hex", "010000000a0000000f00000001000000"});
    EXPECT_EQ(d.ok({"log", "list", "--category", "4"}), log);
    EXPECT_TRUE(contains(d.ok({"log", "list", "--category", "operation"}, {"--json"}),
                         "\"category\":4,\"category_name\":\"operation\","
                         "\"text\":\"admin 127.0.0.1 modify record type param\""));

    d.ok({"default-setting"});
    EXPECT_EQ(d.ok({"param", "get", "record-type"}), defaults);
    d.ok({"param", "reset-video", "1"});
    d.ok({"log", "delete", "--category", "operation"});
    EXPECT_EQ(d.ok({"log", "list", "--category", "operation"}), "");
}

TEST(CliDisks, FormatShowsProgressToTheEndAndBusyIsReported) {
    // Six seconds per format: long enough for the busy checks below to land
    // inside a running format even on a loaded machine.
    Device d({"--format-seconds", "6"});
    const std::vector<std::string> progress = lines(d.ok({"disk", "format", "0", "0", "3"}));
    ASSERT_GE(progress.size(), 4u);
    EXPECT_EQ(progress.front(), "format disk 0 partition 0 0%");
    EXPECT_EQ(progress[progress.size() - 2], "format disk 0 partition 0 100%");
    EXPECT_EQ(progress.back(), "format of disk 0 partition 0 done");
    EXPECT_TRUE(contains(d.ok({"info", "disk"}), "formatted, 1000.2 GB, 1000.2 GB free, file system 3"));

    // While a format runs, the device answers busy, and recnet says so.
    d.ok({"disk", "format", "0", "0", "--no-wait"});
    const std::string busy = ": device busy: a disk operation (partitioning, format or upload) is running (status 0x1";
    expectRefusals(d, 4, {{{"disk", "fdisk", "0", "2"}, std::string("recnet: partition disk 0") + busy + "2)\n"},
                          {{"disk", "format", "0", "0"}, std::string("recnet: format disk 0 partition 0") + busy + "1)\n"}});
    int info = 4;
    for (int i = 0; i < 60 && info == 4; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        info = d.cli({"info", "disk"}).exitCode;
    }
    ASSERT_EQ(info, 0);

    expectRefusals(d, 1, {{{"disk", "format", "0", "3"}, "recnet: format disk 0 partition 3: failed (status 0xff)\n"}});
    EXPECT_TRUE(contains(d.ok({"disk", "fdisk", "0", "2"}), "disk 0 partitioned into 2 partitions\n"));
    EXPECT_TRUE(contains(d.ok({"info", "disk"}), "  partition 1: unformatted"));
    d.ok({"disk", "format", "0", "1", "--no-wait"});  // partition 1 exists now
}

TEST(CliControl, PtzRecordingKeyFramesRebootAndMaintenance) {
    Device d;
    d.ok({"ptz", "1", "left", "--speed", "10"});
    d.ok({"ptz", "2", "right", "--speed", "5"});
    // PTZ moves are control lines of the log, oldest first; --max takes the
    // oldest, and log delete removes what log list shows with the same filter.
    const std::vector<std::string> ptz = lines(d.ok({"log", "list", "--category", "control"}));
    ASSERT_EQ(ptz.size(), 2u);
    EXPECT_TRUE(contains(ptz[0], "  control    ptz ch2 left pan 350 tilt 0 zoom 1")) << ptz[0];
    EXPECT_TRUE(contains(ptz[1], "  control    ptz ch3 right pan 5 tilt 0 zoom 1")) << ptz[1];
    EXPECT_EQ(d.ok({"log", "list", "--category", "control", "--max", "1"}), ptz[0] + "\n");
    d.ok({"log", "delete", "--category", "control", "--max", "1"});
    EXPECT_EQ(d.ok({"log", "list", "--category", "control"}), ptz[1] + "\n");

    EXPECT_EQ(d.ok({"iframe", "0"}), "key frame requested on channel 0\n");
    d.ok({"record", "start", "2", "--kind", "sub", "--minutes", "5"});
    EXPECT_EQ(d.ok({"param", "get", "24", "--channel", "2"}), "on: 1\nkind: 1\nminutes: 5\n");
    EXPECT_TRUE(contains(d.ok({"info", "status"}), "recording_mask: 4\n"));
    d.ok({"record", "stop", "2"});
    EXPECT_EQ(d.ok({"param", "get", "24", "--channel", "2"}), "on: 0\nkind: 0\nminutes: 0\n");

    EXPECT_TRUE(contains(d.ok({"reboot", "--wait"}), "device is back after "));
    EXPECT_TRUE(contains(d.ok({"info", "status"}), "server_starts: 2\n"));
    EXPECT_TRUE(contains(d.ok({"log", "list", "--category", "system"}), "server restarted"));
    for (std::vector<std::string> c : std::vector<std::vector<std::string>>{
             {"default-setting"}, {"resume-default"}, {"cmos-default"}, {"3g-reset"}, {"factory-reset"},
             {"3g-default", "1"}, {"session-flag", "1"}, {"camera", "init"}, {"worker", "start"}})
        d.ok(c);
}

TEST(CliSerial, SendAndAttachAtThePseudoTerminal) {
    Device d({"--serial-ports", "2"});
    // "serial 0: PATH", "serial 1: PATH", then the ready line.
    const std::string out = d.child->out();
    EXPECT_LT(out.find("\nserial 1: /dev/pts/"), out.find("\nready")) << out;
    const size_t path = out.find("serial 0: ") + 10;
    const int pty = ::open(out.substr(path, out.find('\n', path) - path).c_str(), O_RDWR | O_NOCTTY);
    ASSERT_TRUE(path >= 10 && pty >= 0) << out;  // npos + 10 wraps to 9
    EXPECT_EQ(d.ok({"serial", "send", "hello pty"}), "9 bytes sent to the serial port\n");
    d.ok({"serial", "send", "--hex", "0d0a"});
    pollfd p{pty, POLLIN, 0};
    std::string got;
    char buf[64];
    for (int i = 0; i < 20 && got.size() < 11; ++i) {
        const ssize_t n = ::poll(&p, 1, 250) > 0 ? ::read(pty, buf, sizeof buf) : 0;
        if (n > 0) got.append(buf, static_cast<size_t>(n));
    }
    EXPECT_EQ(got, "hello pty\r\n");

    // Typed at the terminal while the CLI is attached; the CLI's input ends
    // after 3 s, which detaches it.
    std::thread terminal([pty] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        EXPECT_EQ(::write(pty, "typed at the terminal\n", 22), 22);
    });
    auto attach = testproc::run("/bin/sh", {"-c", "sleep 3 | \"$0\" --timeout 5 --port \"$1\" serial attach",
                                            RECNET_CLI_PATH, std::to_string(d.port)});
    terminal.join();
    EXPECT_EQ(attach.exitCode, 0) << attach.err;
    EXPECT_TRUE(contains(attach.out, "typed at the terminal")) << attach.out;

    // With the send switch off, the answer is the same and nothing arrives.
    d.ok({"param", "set", "23", "--hex", "00010000"});
    EXPECT_EQ(d.ok({"serial", "send", "quiet"}), "5 bytes sent to the serial port\n");
    EXPECT_EQ(::poll(&p, 1, 500), 0);
    ::close(pty);
}

TEST(CliRecordFiles, DeleteByName) {
    Device d;
    const fs::path folder = fs::path(d.state) / "records";
    fs::create_directories(folder);
    std::ofstream(folder / "ch01-0001.h264") << "frames";
    d.ok({"file", "delete", "ch01-0001.h264"});
    EXPECT_FALSE(fs::exists(folder / "ch01-0001.h264"));
    // Gone now; and only names inside the records folder are deleted.
    expectRefusals(d, 1, {{{"file", "delete", "ch01-0001.h264"},
                           "recnet: delete record file 'ch01-0001.h264': failed (status 0xff)\n"},
                          {{"file", "delete", "../device.db"}, "recnet: "},
                          {{"file", "delete", "/etc/hostname"}, "recnet: "}});
    EXPECT_TRUE(fs::exists(fs::path(d.state) / "device.db"));
}

TEST(CliErrors, FailuresGiveAClearLineAndANonZeroStatus) {
    Device d;
    expectRefusals(d, 1, {
        {{"param", "set", "999", "--hex", "00"}, "recnet: set parameter 999: failed (status 0xff)\n"},
        {{"param", "get", "200"}, "recnet: get parameter 200: failed (status 0xff)\n"},
        {{"param", "get", "6"}, "recnet: get parameter 6: failed (status 0xff)\n"},
        {{"param", "reset-video", "4"}, "recnet: "},  // four channels: 0..3
        {{"ptz", "9", "up"}, "recnet: "},
        {{"time", "set", "2031-02-30 00:00:00"}, "recnet: set time: failed (status 0xff)\n"},
        {{"snapshot", "--channel", "9", "-o", d.state + "/none.jpg"}, "recnet: "},
    });
    EXPECT_FALSE(fs::exists(d.state + "/none.jpg"));
    auto silent = d.cli({"raw", "0x809"}, {"--timeout", "1"});
    EXPECT_EQ(silent.exitCode, 3);
    EXPECT_TRUE(contains(silent.err, "no reply")) << silent.err;
    d.stop();
    auto gone = d.cli({"user", "list"});
    EXPECT_EQ(gone.exitCode, 1);
    EXPECT_TRUE(contains(gone.err, "connection refused")) << gone.err;
}

TEST(CliCommandLine, BadLinesGiveOneClearLineAndTheUsageStatus) {
    // Refused before any connection: no device runs on this port.
    const std::string port = std::to_string(testnet::pickBasePort());
    const struct {
        std::vector<std::string> args;
        std::string says;
    } bad[] = {
        {{"--port", "70000", "login"}, "--port: bad value '70000'"},
        {{"login", "--bogus"}, "unknown option --bogus for login"},
        {{"raw", "0x103", "--json"}, "option --json goes before the command"},
        {{"user", "add", "bob"}, "user add: PASSWORD is required"},
        {{"user", "frobnicate"}, "unknown user action 'frobnicate'"},
        {{"log", "delete"}, "--all"},  // neither a filter nor --all
        {{"time", "set", "tomorrow"}, "tomorrow"},
        {{"serial", "send", std::string(1025, 'x')}, "1024"},
        {{"ptz", "1", "sideways"}, "unknown PTZ action 'sideways'"},
        {{"record", "start", "1", "--kind", "third"}, "bad value 'third'"},
        {{"frobnicate"}, "unknown command 'frobnicate'"},
        {{"disk"}, "disk needs one of fdisk, format"},
        {{"stream", "--channel", "1"}, "--out"},
        {{"stream", "--channel", "1", "--out", "x", "--frames", "5", "--seconds", "2"}, "--seconds"},
        {{"probe", "extra"}, "extra"},
    };
    for (const auto& b : bad) {
        std::vector<std::string> args = {"--port", port};
        args.insert(args.end(), b.args.begin(), b.args.end());
        auto r = testproc::run(RECNET_CLI_PATH, args);
        // The message, then the synopsis.
        const std::vector<std::string> err = lines(r.err);
        EXPECT_TRUE(r.exitCode == 2 && r.out.empty() && err.size() == 2 && err[0].rfind("recnet: ", 0) == 0 &&
                    contains(err[0], b.says) && err[1].rfind("usage: recnet ", 0) == 0)
            << b.says << ": exit " << r.exitCode << ", " << r.out << r.err;
    }
    auto help = testproc::run(RECNET_CLI_PATH, {"user", "add", "--help"});
    EXPECT_TRUE(help.exitCode == 0 && contains(help.out, "--rights")) << help.out;
}

TEST(CliCommandLine, LoginsInfoRecordsAndJsonThatParses) {
    Device d({"--disks", "2"});
    unsigned id = 0;
    char tail = 0;
    std::string out = d.ok({"login"});
    EXPECT_TRUE(std::sscanf(out.c_str(), "session %u%c", &id, &tail) == 2 && tail == '\n') << out;
    out = d.ok({"login"}, {"--json"});
    EXPECT_TRUE(std::sscanf(out.c_str(), "{\"session\":%u}%c", &id, &tail) == 2 && tail == '\n') << out;
    EXPECT_EQ(d.ok({"echo"}), "echo ok\n");
    out = d.ok({"time-info"});
    EXPECT_TRUE(std::sscanf(out.c_str(), "%*4d-%*2d-%*2d %*2d:%*2d:%*2d%c", &tail) == 1 && tail == '\n') << out;

    // RECNET_PASSWORD stands in for --password; --password wins over it.
    d.ok({"user", "add", "carol", "s3cret"});
    ::setenv("RECNET_PASSWORD", "s3cret", 1);
    d.ok({"login"}, {"--user", "carol"});
    d.ok({"login"}, {"--password", "admin"});
    ::setenv("RECNET_PASSWORD", "wrong", 1);
    auto wrong = d.cli({"login"}, {"--user", "carol"});
    ::unsetenv("RECNET_PASSWORD");
    EXPECT_EQ(wrong.exitCode, 1);
    EXPECT_EQ(wrong.err, "recnet: login refused: wrong password\n");
    expectRefusals(d, 1, {{{"login"}, "recnet: login refused: unknown user"}}, {"--user", "nobody"});

    EXPECT_TRUE(contains(d.ok({"info", "version"}), "firmware: recnet-device 1.0.0\n"));
    d.ok({"version", "set", "recnet-device 1.0.1"});
    EXPECT_TRUE(contains(d.ok({"info", "version"}), "firmware: recnet-device 1.0.1\n"));
    EXPECT_TRUE(contains(d.ok({"info", "disk"}, {"--json"}), "{\"disk\":1,\"state\":\"ready\""));
    EXPECT_EQ(d.ok({"info", "platform"}), "platform 1 (reference device)\n");
    EXPECT_EQ(d.ok({"info", "update"}), "update 0x00000001 (firmware upload supported)\n");
    auto status = nlohmann::json::parse(d.ok({"info", "status"}, {"--json"}));
    EXPECT_TRUE(status["channels"] == 4 && status["disks"] == 2 && status["users"] == 2 && status["logins_refused"] == 2) << status;
    auto param = nlohmann::json::parse(d.ok({"param", "get", "record-type"}, {"--json"}));
    EXPECT_TRUE(param["type"] == 21 && param["records"][0]["mode"] == 2) << param;
}
