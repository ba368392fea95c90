/*
 * values.cpp - values on the recnet command line, and replacing files whole.
 */
#include "values.h"

#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "hex.h"

namespace recnet::cli {

Duration seconds(const std::string& what, const std::string& text, bool zeroAllowed) {
    char* end = nullptr;
    double s = std::strtod(text.c_str(), &end);
    if (text.empty() || end != text.c_str() + text.size() || !std::isfinite(s) || s < 0 ||
        (s == 0 && !zeroAllowed) || s > 86400) {
        throw UsageError("bad value '" + text + "' for " + what +
                         (zeroAllowed ? " (seconds, 0 to 86400)"
                                      : " (seconds, more than 0 and at most 86400)"));
    }
    return Duration(static_cast<long long>(std::ceil(s * 1000)));
}

std::vector<uint8_t> hexBytes(const std::string& what, const std::string& text) {
    auto bytes = fromHex(text);
    if (!bytes) throw UsageError("bad value '" + text + "' for " + what + " (hex digit pairs)");
    return *bytes;
}

std::vector<uint8_t> readFile(const std::string& path, uint64_t max, bool regularOnly) {
    const std::string tooLong =
        "file '" + path + "' is longer than " + std::to_string(max) + " bytes";
    if (regularOnly) {
        std::error_code ec;
        const auto size = std::filesystem::file_size(path, ec);
        if (ec) throw UsageError("cannot read file '" + path + "': " + ec.message());
        if (size > max) throw UsageError(tooLong);
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) throw UsageError("cannot read file '" + path + "'");
    std::vector<uint8_t> b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) throw UsageError("cannot read file '" + path + "'");
    if (b.size() > max) throw UsageError(tooLong);
    return b;
}

void writeFileReplacing(const std::string& path, const std::vector<uint8_t>& data) {
    const std::string temp = path + ".tmp-" + std::to_string(::getpid());
    int err = 0;
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (out) {
            out.write(reinterpret_cast<const char*>(data.data()),
                      static_cast<std::streamsize>(data.size()));
        }
        if (out) out.close();
        if (!out) err = errno;
    }
    if (err == 0 && std::rename(temp.c_str(), path.c_str()) != 0) err = errno;
    if (err != 0) {
        std::remove(temp.c_str());
        throw std::runtime_error("cannot write '" + path + "': " + std::strerror(err));
    }
}

std::optional<TimeInfo> parseDateTime(const std::string& text) {
    char sep = 0;
    int n = 0;
    unsigned y, mo, d, h = 0, mi = 0, s = 0;
    const char* t = text.c_str();
    const auto whole = [&] { return size_t(n) == text.size(); };
    const bool full = std::sscanf(t, "%4u-%2u-%2u%c%2u:%2u:%2u%n", &y, &mo, &d, &sep, &h, &mi,
                                  &s, &n) == 7 && whole() && (sep == ' ' || sep == 'T');
    if (!full) {
        s = 0;
        n = 0;
        const bool minutes = std::sscanf(t, "%4u-%2u-%2u%c%2u:%2u%n", &y, &mo, &d, &sep, &h, &mi,
                                         &n) == 6 && whole() && (sep == ' ' || sep == 'T');
        if (!minutes) {
            h = mi = 0;
            n = 0;
            if (std::sscanf(t, "%4u-%2u-%2u%n", &y, &mo, &d, &n) != 3 || !whole()) {
                return std::nullopt;
            }
        }
    }
    if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 59) return std::nullopt;
    return TimeInfo{y, mo, d, h, mi, s};
}

uint32_t parseTimeBound(const std::string& what, const std::string& text) {
    if (auto v = parseNumber(text, 0xffffffffu)) return static_cast<uint32_t>(*v);
    auto t = parseDateTime(text);
    if (!t) {
        throw UsageError("bad value '" + text + "' for " + what +
                         " (\"YYYY-MM-DD HH:MM:SS\", \"YYYY-MM-DD\" or seconds since 1970)");
    }
    std::tm tm{};
    tm.tm_year = static_cast<int>(t->year) - 1900;
    tm.tm_mon = static_cast<int>(t->month) - 1;
    tm.tm_mday = static_cast<int>(t->day);
    tm.tm_hour = static_cast<int>(t->hour);
    tm.tm_min = static_cast<int>(t->minute);
    tm.tm_sec = static_cast<int>(t->second);
    tm.tm_isdst = -1;
    std::time_t e = std::mktime(&tm);
    if (e < 0 || e > 0xffffffffLL) throw UsageError("time '" + text + "' is out of range");
    return static_cast<uint32_t>(e);
}

std::string formatDateTime(const TimeInfo& t) {
    char b[64];
    std::snprintf(b, sizeof b, "%04u-%02u-%02u %02u:%02u:%02u", t.year, t.month, t.day, t.hour,
                  t.minute, t.second);
    return b;
}

std::string formatEpoch(uint32_t seconds) {
    std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    localtime_r(&t, &tm);
    char b[32];
    std::strftime(b, sizeof b, "%Y-%m-%d %H:%M:%S", &tm);
    return b;
}

}  // namespace recnet::cli
