#include "cli.hpp"

#include "quorvel_routing/platform/text.hpp"

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>

namespace route_calculator {

namespace {

constexpr const char* kProgram = "route-calculator";
constexpr const char* kAbout = "Calculate routes using Postgres Master DB and gravix";

enum class Kind { Text, Number, Count, List, Switch };

struct OptionSpec {
    const char* field;
    const char* long_name;
    const char* short_name;  // "" when there is none
    const char* value_name;  // "" for switches
    Kind kind;
    const char* default_value;  // nullptr: optional (absent unless given)
    const char* help;
};

struct CommandSpec {
    const char* name;
    const char* about;
    std::vector<OptionSpec> options;
};

// The three commands, their options in the order --help lists them.
const std::vector<CommandSpec>& command_specs() {
    static const std::vector<CommandSpec> specs = {
        {"calculate",
         "Calculate route from config file",
         {
             {"config_dir", "--config-dir", "", "CONFIG_DIR", Kind::Text, "config", "Path to shared config directory"},
             {"target", "--target", "-t", "TARGET", Kind::Text, "master", "Target database: master or local"},
             {"start_lat", "--start-lat", "", "START_LAT", Kind::Number, nullptr, "Override start latitude"},
             {"start_lon", "--start-lon", "", "START_LON", Kind::Number, nullptr, "Override start longitude"},
             {"end_lat", "--end-lat", "", "END_LAT", Kind::Number, nullptr, "Override end latitude"},
             {"end_lon", "--end-lon", "", "END_LON", Kind::Number, nullptr, "Override end longitude"},
             {"start_address", "--start-address", "", "START_ADDRESS", Kind::Text, nullptr,
              "Override start point with an address / POI / station search (resolved via `addresses` view)"},
             {"end_address", "--end-address", "", "END_ADDRESS", Kind::Text, nullptr,
              "Override end point with an address / POI / station search (resolved via `addresses` view)"},
             {"bbox_margin", "--bbox-margin", "", "BBOX_MARGIN", Kind::Number, "0.1",
              "Use bounding box around route (degrees) to limit data loading"},
             {"profile", "--profile", "", "PROFILE", Kind::Text, nullptr, "Routing profile: car-fast, car-short"},
             {"avoid_tolls", "--avoid-tolls", "", "AVOID_TOLLS", Kind::List, nullptr,
              "Countries where tolls should be avoided (comma-separated ISO codes, overrides config)"},
             {"allow_tolls", "--allow-tolls", "", "ALLOW_TOLLS", Kind::List, nullptr,
              "Countries where tolls should be allowed (comma-separated ISO codes, overrides config)"},
             {"allow_all_tolls", "--allow-all-tolls", "", "", Kind::Switch, "false",
              "Allow tolls everywhere (ignore config defaults)"},
             {"initial_charge", "--initial-charge", "", "INITIAL_CHARGE", Kind::Number, nullptr,
              "Initial battery charge in kWh (EV profiles only, default: battery capacity)"},
             {"min_charge", "--min-charge", "", "MIN_CHARGE", Kind::Number, nullptr,
              "Minimum battery reserve in kWh -- never route below this (EV profiles only, default: 10% capacity)"},
             {"output", "--output", "-o", "OUTPUT", Kind::Text, nullptr,
              "Output file path for route (GeoJSON format). Includes geometry, elevation profile, and route "
              "metadata"},
         }},
        {"calculate-fast",
         "Calculate route using the binary graph file (fast, no database needed)",
         {
             {"graph_file", "--graph-file", "-g", "GRAPH_FILE", Kind::Text, "routing_graph.bin",
              "Path to the binary graph file"},
             {"config_dir", "--config-dir", "", "CONFIG_DIR", Kind::Text, "config", "Path to shared config directory"},
             {"target", "--target", "-t", "TARGET", Kind::Text, "master",
              "Target database (only used for address resolution)"},
             {"start_lat", "--start-lat", "", "START_LAT", Kind::Number, nullptr, "Start latitude"},
             {"start_lon", "--start-lon", "", "START_LON", Kind::Number, nullptr, "Start longitude"},
             {"end_lat", "--end-lat", "", "END_LAT", Kind::Number, nullptr, "End latitude"},
             {"end_lon", "--end-lon", "", "END_LON", Kind::Number, nullptr, "End longitude"},
             {"start_address", "--start-address", "", "START_ADDRESS", Kind::Text, nullptr,
              "Override start point with an address search"},
             {"end_address", "--end-address", "", "END_ADDRESS", Kind::Text, nullptr,
              "Override end point with an address search"},
             {"profile", "--profile", "", "PROFILE", Kind::Text, "car-fast",
              "Routing profile: car-fast, car-short, ev-default, ev-efficient"},
             {"avoid_tolls", "--avoid-tolls", "", "AVOID_TOLLS", Kind::List, nullptr,
              "Countries where tolls should be avoided (comma-separated ISO codes)"},
             {"allow_all_tolls", "--allow-all-tolls", "", "", Kind::Switch, "false", "Allow tolls everywhere"},
             {"initial_charge", "--initial-charge", "", "INITIAL_CHARGE", Kind::Number, nullptr,
              "Initial battery charge in kWh (EV profiles only, default: battery capacity)"},
             {"min_charge", "--min-charge", "", "MIN_CHARGE", Kind::Number, nullptr,
              "Minimum battery reserve in kWh -- never route below this (EV profiles only, default: 10% capacity)"},
             {"output", "--output", "-o", "OUTPUT", Kind::Text, nullptr, "Output file path for route (GeoJSON format)"},
             {"max_steps", "--max-steps", "", "MAX_STEPS", Kind::Count, "50000000",
              "Maximum search steps (default: 50 million)"},
         }},
        {"analyse",
         "Analyze the routing graph to diagnose connectivity issues",
         {
             {"config_dir", "--config-dir", "", "CONFIG_DIR", Kind::Text, "config", "Path to shared config directory"},
             {"target", "--target", "-t", "TARGET", Kind::Text, "master", "Target database: master or local"},
             {"bbox_margin", "--bbox-margin", "", "BBOX_MARGIN", Kind::Number, nullptr,
              "Use bounding box around route (degrees) to limit data loading. If not specified, analyzes entire "
              "database"},
             {"output", "--output", "-o", "OUTPUT", Kind::Text, nullptr,
              "Optional output file path for detailed results (JSON format)"},
         }},
    };
    return specs;
}

std::string option_display(const OptionSpec& spec) {
    if (spec.kind == Kind::Switch) return spec.long_name;
    return fmt::format("{} <{}>", spec.long_name, spec.value_name);
}

// The parsed words of one command: field identifier -> values, in the order given.
using ParsedValues = std::map<std::string, std::vector<std::string>>;

struct ConversionError {
    std::string message;
};

class Fields {
public:
    explicit Fields(const ParsedValues& values) : values_(values) {}

    const std::vector<std::string>* find(const char* field) const {
        auto it = values_.find(field);
        return it == values_.end() ? nullptr : &it->second;
    }
    std::string required_text(const char* field) const { return required(field).front(); }
    double required_number(const char* field) const { return *parse_number(required(field).front()); }
    std::uint64_t required_count(const char* field) const { return *parse_count(required(field).front()); }
    bool switch_on(const char* field) const { return required(field).front() == "true"; }
    std::optional<std::string> text(const char* field) const {
        auto* v = find(field);
        return v ? std::optional(v->front()) : std::nullopt;
    }
    std::optional<double> number(const char* field) const {
        auto* v = find(field);
        return v ? parse_number(v->front()) : std::nullopt;
    }
    std::optional<std::vector<std::string>> list(const char* field) const {
        auto* v = find(field);
        return v ? std::optional(*v) : std::nullopt;
    }

private:
    const std::vector<std::string>& required(const char* field) const {
        auto* v = find(field);
        if (!v || v->empty())
            throw ConversionError{fmt::format("the following required argument was not provided: {}", field)};
        return *v;
    }
    const ParsedValues& values_;
};

Commands convert(const std::string& command, const ParsedValues& values) {
    Fields f(values);
    if (command == "calculate") {
        Calculate c;
        c.config_dir = f.required_text("config_dir");
        c.target = f.required_text("target");
        c.start_lat = f.number("start_lat");
        c.start_lon = f.number("start_lon");
        c.end_lat = f.number("end_lat");
        c.end_lon = f.number("end_lon");
        c.start_address = f.text("start_address");
        c.end_address = f.text("end_address");
        c.bbox_margin = f.required_number("bbox_margin");
        c.profile = f.text("profile");
        c.avoid_tolls = f.list("avoid_tolls");
        c.allow_tolls = f.list("allow_tolls");
        c.allow_all_tolls = f.switch_on("allow_all_tolls");
        c.initial_charge = f.number("initial_charge");
        c.min_charge = f.number("min_charge");
        c.output = f.text("output");
        return c;
    }
    if (command == "calculate-fast") {
        CalculateFast c;
        c.graph_file = f.required_text("graph_file");
        c.config_dir = f.required_text("config_dir");
        c.target = f.required_text("target");
        c.start_lat = f.number("start_lat");
        c.start_lon = f.number("start_lon");
        c.end_lat = f.number("end_lat");
        c.end_lon = f.number("end_lon");
        c.start_address = f.text("start_address");
        c.end_address = f.text("end_address");
        c.profile = f.required_text("profile");
        c.avoid_tolls = f.list("avoid_tolls");
        c.allow_all_tolls = f.switch_on("allow_all_tolls");
        c.initial_charge = f.number("initial_charge");
        c.min_charge = f.number("min_charge");
        c.output = f.text("output");
        c.max_steps = f.required_count("max_steps");
        return c;
    }
    if (command == "analyse") {
        Analyse c;
        c.config_dir = f.required_text("config_dir");
        c.target = f.required_text("target");
        c.bbox_margin = f.number("bbox_margin");
        c.output = f.text("output");
        return c;
    }
    if (command.empty()) throw ConversionError{"a subcommand is required but one was not provided"};
    throw ConversionError{fmt::format("the subcommand '{}' wasn't recognized", command)};
}

// A parser definition built from the tables; `subs` maps command names to their apps.
struct Parser {
    std::unique_ptr<CLI::App> app;
    std::map<std::string, CLI::App*> subs;
    std::map<std::string, std::vector<std::pair<const OptionSpec*, CLI::Option*>>> options;
    CLI::App* help_cmd = nullptr;
    std::vector<std::string> help_target;
};

std::unique_ptr<Parser> build_parser() {
    auto p = std::make_unique<Parser>();
    p->app = std::make_unique<CLI::App>(kAbout, kProgram);
    auto& app = *p->app;
    app.set_help_flag("-h,--help", "Print help");
    app.require_subcommand(0, 1);
    app.get_formatter()->column_width(40);

    for (const auto& cmd : command_specs()) {
        CLI::App* sub = app.add_subcommand(cmd.name, cmd.about);
        sub->set_help_flag("-h,--help", "Print help");
        p->subs[cmd.name] = sub;
        for (const auto& spec : cmd.options) {
            std::string names = spec.short_name[0] ? fmt::format("{},{}", spec.short_name, spec.long_name)
                                                   : std::string(spec.long_name);
            CLI::Option* opt = nullptr;
            if (spec.kind == Kind::Switch) {
                opt = sub->add_flag(names, spec.help);
            } else {
                opt = sub->add_option(names, spec.help);
                opt->type_name(spec.value_name);
                opt->expected(1);
                if (spec.default_value) opt->default_str(spec.default_value);
                if (spec.kind == Kind::List) {
                    opt->delimiter(',');
                    opt->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
                    opt->allow_extra_args(false);
                } else {
                    opt->multi_option_policy(CLI::MultiOptionPolicy::Throw);
                }
                if (spec.kind == Kind::Number)
                    opt->check(CLI::Validator(
                        [](std::string& s) {
                            return parse_number(s) ? std::string() : fmt::format("invalid float literal '{}'", s);
                        },
                        "", "NUMBER"));
                if (spec.kind == Kind::Count)
                    opt->check(CLI::Validator(
                        [](std::string& s) {
                            return parse_count(s) ? std::string() : fmt::format("invalid digit found in '{}'", s);
                        },
                        "", "COUNT"));
            }
            p->options[cmd.name].emplace_back(&spec, opt);
        }
    }
    p->help_cmd = app.add_subcommand("help", "Print this message or the help of the given subcommand(s)");
    p->help_cmd->add_option("COMMAND", p->help_target, "Print help for the subcommand(s)");
    return p;
}

std::string usage_line(const std::string& command) {
    if (command.empty()) return fmt::format("Usage: {} [COMMAND]", kProgram);
    return fmt::format("Usage: {} {} [OPTIONS]", kProgram, command);
}

ParseExit usage_error(const std::string& message, const std::string& command) {
    return ParseExit{2, "",
                     fmt::format("error: {}\n\n{}\n\nFor more information, try '--help'.\n", message,
                                 usage_line(command))};
}

// The command named by the first word that is not an option, if any.
std::string command_word(const std::vector<std::string>& args) {
    for (size_t i = 1; i < args.size(); ++i)
        if (!args[i].starts_with("-")) return args[i];
    return "";
}

const OptionSpec* find_spec(const std::string& command, const std::string& word) {
    for (const auto& cmd : command_specs()) {
        if (command != cmd.name) continue;
        for (const auto& spec : cmd.options)
            if (word == spec.long_name || (spec.short_name[0] && word == spec.short_name)) return &spec;
    }
    return nullptr;
}

}  // namespace

std::optional<double> parse_number(const std::string& word) { return quorvel_routing::text::parse_f64(word); }

std::optional<std::uint64_t> parse_count(const std::string& word) {
    std::string_view s = word;
    if (s.starts_with('+')) s.remove_prefix(1);
    if (s.empty()) return std::nullopt;
    for (char c : s)
        if (c < '0' || c > '9') return std::nullopt;
    std::uint64_t value = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (ec != std::errc{} || end != s.data() + s.size()) return std::nullopt;
    return value;
}

std::variant<Cli, ParseExit> Cli::try_parse(const std::vector<std::string>& args) {
    auto parser = build_parser();
    auto& app = *parser->app;
    if (args.size() <= 1) return ParseExit{2, "", app.help()};

    // A value that begins with '-' given as a separate word is read as an option name: negative
    // numbers must be attached with '=' (--start-lon=-0.5).
    std::string command = command_word(args);
    for (size_t i = 2; i + 1 < args.size(); ++i) {
        const OptionSpec* spec = find_spec(command, args[i]);
        if (spec && spec->kind != Kind::Switch && args[i + 1].starts_with("-") && args[i + 1] != "-")
            return usage_error(fmt::format("unexpected argument '{}' found", args[i + 1]), command);
    }

    std::vector<std::string> reversed(args.rbegin(), args.rend() - 1);
    try {
        app.parse(reversed);
    } catch (const CLI::CallForHelp&) {
        return ParseExit{0, app.help(), ""};
    } catch (const CLI::ParseError& e) {
        std::string which;
        for (auto& [name, sub] : parser->subs)
            if (sub->parsed()) which = name;
        return usage_error(e.what(), which);
    }

    if (parser->help_cmd->parsed()) {
        // A parser that has seen `help` would describe the help command itself: print from a fresh one.
        auto fresh = build_parser();
        if (parser->help_target.empty()) return ParseExit{0, fresh->app->help(), ""};
        auto it = fresh->subs.find(parser->help_target.front());
        if (it == fresh->subs.end() || parser->help_target.size() > 1)
            return usage_error(fmt::format("unrecognized subcommand '{}'", parser->help_target.back()), "help");
        return ParseExit{0, it->second->help(kProgram), ""};
    }

    std::string parsed_command;
    for (auto& [name, sub] : parser->subs)
        if (sub->parsed()) parsed_command = name;

    ParsedValues values;
    if (!parsed_command.empty()) {
        for (auto& [spec, opt] : parser->options[parsed_command]) {
            if (spec->kind == Kind::Switch) {
                if (opt->count() > 1)
                    return usage_error(
                        fmt::format("the argument '{}' cannot be used multiple times", option_display(*spec)),
                        parsed_command);
                values[spec->field] = {opt->count() > 0 ? "true" : "false"};
                continue;
            }
            if (opt->count() == 0) {
                if (spec->default_value) values[spec->field] = {spec->default_value};
                continue;
            }
            values[spec->field] = opt->results();
        }
    }
    try {
        return Cli{convert(parsed_command, values)};
    } catch (const ConversionError& e) {
        return usage_error(e.message, parsed_command);
    }
}

Cli Cli::parse(int argc, char** argv) {
    std::vector<std::string> args(argv, argv + argc);
    auto outcome = try_parse(args);
    if (auto* cli = std::get_if<Cli>(&outcome)) return std::move(*cli);
    const auto& exit = std::get<ParseExit>(outcome);
    std::fputs(exit.out.c_str(), stdout);
    std::fputs(exit.err.c_str(), stderr);
    std::fflush(stdout);
    std::exit(exit.status);
}

}  // namespace route_calculator
