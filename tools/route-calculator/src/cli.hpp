#pragma once
// The command line: three commands, each parsed into one record.

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "quorvel_routing/platform/error.hpp"

namespace route_calculator {

struct Calculate {
    std::string config_dir = "config";
    std::string target = "master";
    std::optional<double> start_lat;
    std::optional<double> start_lon;
    std::optional<double> end_lat;
    std::optional<double> end_lon;
    std::optional<std::string> start_address;
    std::optional<std::string> end_address;
    double bbox_margin = 0.1;
    std::optional<std::string> profile;
    std::optional<std::vector<std::string>> avoid_tolls;
    std::optional<std::vector<std::string>> allow_tolls;
    bool allow_all_tolls = false;
    std::optional<double> initial_charge;
    std::optional<double> min_charge;
    std::optional<std::string> output;
};

struct CalculateFast {
    std::string graph_file = "routing_graph.bin";
    std::string config_dir = "config";
    std::string target = "master";
    std::optional<double> start_lat;
    std::optional<double> start_lon;
    std::optional<double> end_lat;
    std::optional<double> end_lon;
    std::optional<std::string> start_address;
    std::optional<std::string> end_address;
    std::string profile = "car-fast";
    std::optional<std::vector<std::string>> avoid_tolls;
    bool allow_all_tolls = false;
    std::optional<double> initial_charge;
    std::optional<double> min_charge;
    std::optional<std::string> output;
    std::uint64_t max_steps = 50'000'000;
};

struct Analyse {
    std::string config_dir = "config";
    std::string target = "master";
    std::optional<double> bbox_margin;
    std::optional<std::string> output;
};

using Commands = std::variant<Calculate, CalculateFast, Analyse>;

// What a run of the parser that does not yield a command prints, and the exit status.
struct ParseExit {
    int status = 0;
    std::string out;  // standard output (help)
    std::string err;  // standard error (usage errors, help without arguments)
};

struct Cli {
    Commands command;

    // Parses the process arguments; on a parse error or a help request it prints and exits.
    static Cli parse(int argc, char** argv);
    // The same without leaving the process: either the command record or what to print.
    static std::variant<Cli, ParseExit> try_parse(const std::vector<std::string>& args);
};

// Number and count grammars of the command line.
std::optional<double> parse_number(const std::string& word);
std::optional<std::uint64_t> parse_count(const std::string& word);

}  // namespace route_calculator
