/*
 * output.cpp - results, progress and failures.
 */
#include "output.h"

#include <unistd.h>

#include <algorithm>
#include <iostream>

namespace recnet::cli {

int emit(const GlobalOptions& g, const Result& r) {
    if (g.json) {
        std::cout << r.json.dump(-1, ' ', false, Json::error_handler_t::replace) << "\n";
    } else {
        std::cout << r.text;
    }
    return EXIT_OK;
}

int done(const GlobalOptions& g, const std::string& message) {
    return emit(g, {{{"result", "ok"}, {"message", message}}, message + "\n"});
}

Json fieldJson(const std::string& text, bool isText) {
    if (!isText) {
        Json n = Json::parse(text, nullptr, /*allow_exceptions=*/false);
        if (n.is_number()) return n;
    }
    return text;
}

Progress::Progress(std::string label, bool quiet, int step)
    : label_(std::move(label)), quiet_(quiet), tty_(::isatty(STDOUT_FILENO) == 1), step_(step) {}

void Progress::show(int percent) {
    const int p = std::clamp(percent, 0, 100);
    if (quiet_ || p == last_) return;
    if (!tty_ && last_ >= 0 && p != 100 && p / step_ == last_ / step_) return;
    last_ = p;
    if (tty_) {
        std::string bar(static_cast<size_t>(p / 4), '#');
        bar.resize(25, '.');
        std::cout << "\r" << label_ << " [" << bar << "] " << p << "%" << std::flush;
    } else {
        std::cout << label_ << " " << p << "%\n" << std::flush;
    }
}

void Progress::finish() {
    if (tty_ && last_ >= 0 && !finished_) std::cout << "\n" << std::flush;
    finished_ = true;
}

int fail(const std::string& message, int status) {
    std::cout.flush();
    std::cerr << "recnet: " << message << "\n";
    return status;
}

int usageFailure(const std::string& message) {
    std::cerr << "recnet: " << message << "\n"
              << "usage: recnet [GLOBAL OPTIONS] COMMAND [COMMAND OPTIONS] (recnet --help, "
                 "recnet COMMAND --help for more)\n";
    return EXIT_USAGE;
}

}  // namespace recnet::cli
