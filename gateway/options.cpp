/*
 * options.cpp - command line of recnet-gateway.
 */
#include "options.h"

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>

#include <CLI/CLI.hpp>

namespace gateway {

namespace {

// Splits "NAME=VALUE"; false when there is no '=' or the name is empty.
bool splitAssignment(const std::string& text, std::string& name, std::string& value) {
    const size_t eq = text.find('=');
    if (eq == std::string::npos || eq == 0) return false;
    name = text.substr(0, eq);
    value = text.substr(eq + 1);
    return true;
}

// The environment variable that may hold a device's password:
// RECNET_PASSWORD_ and the name in capitals, other characters as '_'.
std::string passwordVariable(const std::string& name) {
    std::string v = "RECNET_PASSWORD_";
    for (char c : name) {
        v += std::isalnum(static_cast<unsigned char>(c))
                 ? static_cast<char>(std::toupper(static_cast<unsigned char>(c)))
                 : '_';
    }
    return v;
}

}  // namespace

std::string parseDeviceSpec(const std::string& spec, DeviceConfig& out) {
    std::string name, address;
    if (!splitAssignment(spec, name, address)) return "expected NAME=HOST:PORT, got '" + spec + "'";
    for (char c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') {
            return "device name '" + name + "' may hold only letters, digits, '-' and '_'";
        }
    }
    const size_t colon = address.rfind(':');
    std::string host = address.substr(0, colon);
    uint32_t port = 5500;
    if (colon != std::string::npos) {
        const std::string digits = address.substr(colon + 1);
        if (digits.empty() || digits.size() > 5 ||
            digits.find_first_not_of("0123456789") != std::string::npos ||
            (port = static_cast<uint32_t>(std::stoul(digits))) == 0 || port > 65535) {
            return "bad port in '" + spec + "'";
        }
    }
    if (host.empty()) return "no host in '" + spec + "'";
    out.name = name;
    out.host = host;
    out.port = static_cast<uint16_t>(port);
    return "";
}

bool parseOptions(int argc, char** argv, GatewayConfig& config, int& exitCode) {
    CLI::App app{"recnet-gateway: the channels of recnet devices over RTSP and HTTP"};
    std::vector<std::string> deviceSpecs, users, passwords, passwordFiles;
    double lingerSeconds = config.lingerMs / 1000.0;
    app.add_option("--device", deviceSpecs, "NAME=HOST:PORT of a device (repeatable)")->required();
    app.add_option("--user", users, "NAME=USER: the account for device NAME (default admin)");
    app.add_option("--password", passwords,
                   "NAME=PASSWORD for device NAME (default: $RECNET_PASSWORD_NAME, else admin)");
    app.add_option("--password-file", passwordFiles, "NAME=FILE: first line of FILE is the password");
    app.add_option("--rtsp-port", config.rtspPort, "RTSP port")->check(CLI::Range(1, 65535));
    app.add_option("--http-port", config.httpPort, "HTTP port")->check(CLI::Range(1, 65535));
    app.add_option("--bind", config.bind, "IPv4 address to listen on");
    app.add_option("--linger", lingerSeconds, "seconds a device stream stays up after its last viewer")
        ->check(CLI::Range(0.0, 600.0));
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        exitCode = app.exit(e);
        return false;
    }
    config.lingerMs = static_cast<int>(lingerSeconds * 1000);

    auto fail = [&](const std::string& text) {
        std::cerr << "recnet-gateway: " << text << "\n";
        exitCode = 2;
        return false;
    };
    std::map<std::string, size_t> byName;
    for (const std::string& spec : deviceSpecs) {
        DeviceConfig d;
        const std::string err = parseDeviceSpec(spec, d);
        if (!err.empty()) return fail(err);
        if (byName.count(d.name)) return fail("device '" + d.name + "' given twice");
        if (const char* env = std::getenv(passwordVariable(d.name).c_str())) d.password = env;
        byName[d.name] = config.devices.size();
        config.devices.push_back(d);
    }
    // Applies NAME=VALUE entries to the named device's field.
    auto apply = [&](const std::vector<std::string>& entries, const char* what,
                     auto&& set) -> bool {
        for (const std::string& e : entries) {
            std::string name, value;
            if (!splitAssignment(e, name, value)) return fail(std::string("--") + what + " expects NAME=VALUE");
            auto it = byName.find(name);
            if (it == byName.end()) return fail(std::string("--") + what + " names unknown device '" + name + "'");
            if (!set(config.devices[it->second], value)) return false;
        }
        return true;
    };
    if (!apply(users, "user", [](DeviceConfig& d, const std::string& v) { d.user = v; return true; }))
        return false;
    if (!apply(passwords, "password",
               [](DeviceConfig& d, const std::string& v) { d.password = v; return true; }))
        return false;
    return apply(passwordFiles, "password-file", [&](DeviceConfig& d, const std::string& path) {
        std::ifstream in(path);
        std::string line;
        if (!in || !std::getline(in, line)) return fail("cannot read password file '" + path + "'");
        d.password = line;
        return true;
    });
}

}  // namespace gateway
