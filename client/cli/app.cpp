/*
 * app.cpp - the recnet parser: global options, command registration helpers,
 * typed values and the wording of command-line errors.
 */
#include "app.h"

#include "commands.h"
#include "hex.h"
#include "values.h"

namespace recnet::cli {

namespace {

// Joins `words` with ", ".
std::string listed(const std::vector<std::string>& words) {
    std::string out;
    for (const std::string& w : words) out += (out.empty() ? "" : ", ") + w;
    return out;
}

// The names of the commands or actions under `app`.
std::vector<std::string> actionsOf(const CLI::App& app) {
    std::vector<std::string> names;
    for (const CLI::App* s : app.get_subcommands([](const CLI::App*) { return true; })) {
        names.push_back(s->get_name());
    }
    return names;
}

}  // namespace

CLI::App* group(CLI::App& parent, const std::string& name, const std::string& description) {
    for (CLI::App* s : parent.get_subcommands([&](CLI::App* a) { return a->get_name() == name; })) {
        return s;
    }
    CLI::App* g = parent.add_subcommand(name, description);
    g->require_subcommand(1);
    return g;
}

CLI::App* command(CLI::App& parent, Context& ctx, const std::string& name,
                  const std::string& description, std::function<int()> body) {
    CLI::App* c = parent.add_subcommand(name, description);
    c->callback([&ctx, body = std::move(body)] { ctx.run = body; });
    return c;
}

CLI::Validator numberIn(uint64_t min, uint64_t max) {
    return CLI::Validator(
        [min, max](std::string& text) -> std::string {
            auto v = parseNumber(text, max);
            if (!v || *v < min) {
                return "bad value '" + text + "' (a number from " + std::to_string(min) + " to " +
                       std::to_string(max) + ", decimal or 0x-hex)";
            }
            text = std::to_string(*v);
            return "";
        },
        "", "");
}

CLI::Option* addSeconds(CLI::App& app, const std::string& name, Duration& target,
                        bool zeroAllowed, const std::string& help) {
    return app
        .add_option_function<std::string>(
            name,
            [&target, name, zeroAllowed](const std::string& s) {
                target = seconds(name, s, zeroAllowed);
            },
            help)
        ->type_name("S");
}

CLI::Option* addChoice(CLI::App& app, const std::string& name, std::string& target,
                       const std::vector<std::string>& choices, const std::string& help) {
    std::string shape;
    for (const std::string& c : choices) shape += (shape.empty() ? "" : "|") + c;
    return app.add_option(name, target, help)
        ->check(CLI::Validator(
            [choices](std::string& text) -> std::string {
                for (const std::string& c : choices) {
                    if (text == c) return "";
                }
                return "bad value '" + text + "' (" + listed(choices) + ")";
            },
            "", ""))
        ->type_name(shape);
}

std::unique_ptr<CLI::App> makeApp(Context& ctx) {
    auto app = std::make_unique<CLI::App>(
        "Talks to a recorder's command port (or recnet-device): connects, logs in, runs one "
        "command, prints its result and logs out. Global options go before the command, the "
        "command's own after it; `recnet COMMAND --help` describes a command.",
        "recnet");
    // An option given twice takes its last value (scripts add to a base
    // line); subcommands inherit this unless they say otherwise.
    app->option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    GlobalOptions& g = ctx.global;
    app->add_option("--host", g.host, "recorder address or IPv4 host name")
        ->capture_default_str()
        ->check(CLI::Validator(
            [](std::string& s) { return s.empty() ? std::string("needs a non-empty value") : ""; },
            "", ""));
    addNumber(*app, "--port", g.port, 1, 65535, "command port (the recorder's base port)");
    app->add_option("--user", g.user, "user name; longer than 23 characters is cut")
        ->capture_default_str();
    app->add_option_function<std::string>(
           "--password", [&g](const std::string& s) { g.password = s; },
           "password; without it RECNET_PASSWORD, else a prompt when stdin is a terminal, "
           "else admin")
        ->envname("RECNET_PASSWORD")
        ->type_name("W");
    addSeconds(*app, "--timeout", g.timeout, false,
               "seconds (fractions allowed) to wait for the connection and each answer")
        ->default_str("5");
    app->add_flag("--json", g.json, "print the result as one JSON object");
    app->require_subcommand(1);
    app->footer(
        "Exit status: 0 success, 1 failure, 2 bad command line, 3 no answer in time, "
        "4 device busy with a disk operation. See docs/cli.md.");

    CLI::App* root = app.get();
    command(*app, ctx, "help", "print this text", [root] {
        std::cout << root->get_formatter()->make_help(root, "recnet", CLI::AppFormatMode::Normal);
        return EXIT_OK;
    });
    addSessionCommands(*app, ctx);
    addAccountCommands(*app, ctx);
    addParamCommands(*app, ctx);
    addInfoCommands(*app, ctx);
    addControlCommands(*app, ctx);
    addMaintenanceCommands(*app, ctx);
    addTransferCommands(*app, ctx);
    addStreamCommands(*app, ctx);
    addTopCommand(*app, ctx);
    return app;
}

std::string explainParseError(const CLI::App& app, const CLI::ParseError& e) {
    // The commands chosen so far, outermost first, and their names as typed.
    std::vector<const CLI::App*> chain{&app};
    std::vector<std::string> paths{""};
    for (;;) {
        std::vector<CLI::App*> chosen = chain.back()->get_subcommands();
        if (chosen.empty()) break;
        chain.push_back(chosen.front());
        paths.push_back((paths.back().empty() ? "" : paths.back() + " ") +
                        chosen.front()->get_name());
    }
    // The first word that no command took, and which command it was given to.
    size_t where = chain.size();
    std::string word;
    for (size_t i = 0; i < chain.size(); ++i) {
        std::vector<std::string> rest = chain[i]->remaining();
        if (!rest.empty()) {
            where = i;
            word = rest.front();
            break;
        }
    }
    const CLI::App& last = *chain.back();
    const std::string& path = paths.back();
    const std::vector<std::string> actions = actionsOf(last);
    if (!actions.empty() && last.get_subcommands().empty()) {
        // A group (or recnet itself) without a command of its own.
        if (where == chain.size() - 1 && !word.empty() && word[0] != '-') {
            return path.empty() ? "unknown command '" + word + "'"
                                : "unknown " + path + " action '" + word + "' (" +
                                      listed(actions) + ")";
        }
        if (where == chain.size()) {
            return path.empty() ? "no command given" : path + " needs one of " + listed(actions);
        }
    }
    if (where < chain.size()) {
        const std::string& in = paths[where];
        if (word.size() > 1 && word[0] == '-') {
            const std::string name = word.substr(0, word.find('='));
            if (where > 0 && app.get_option_no_throw(name) != nullptr) {
                return "option " + name + " goes before the command";
            }
            return "unknown option " + name + (in.empty() ? "" : " for " + in);
        }
        return (in.empty() ? std::string("recnet") : in) + " takes no operand '" + word + "'";
    }
    // A bad value names its option or operand itself.
    const bool named = dynamic_cast<const CLI::ValidationError*>(&e) != nullptr ||
                       dynamic_cast<const CLI::ConversionError*>(&e) != nullptr;
    return path.empty() || named ? e.what() : path + ": " + e.what();
}

}  // namespace recnet::cli
