// gravix-import: reads an OSM extract once and writes the graph file and/or the database tables
// from the same road network.

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "import.hpp"
#include "quorvel_routing/platform/log.hpp"

int main(int argc, char** argv) {
    using namespace gravix_import;
    ImportRequest request;
    CLI::App app{"Import an OpenStreetMap extract (PBF or XML) into the graph file and/or the PostGIS database",
                 "gravix-import"};
    app.add_option("input", request.input_path, "OSM file (.osm.pbf, .osm, .osm.bz2, .osm.gz)")->required();
    app.add_option("--graph-file", request.graph_file, "Write the graph file to this path");
    app.add_option("--graph-version", request.graph_version, "Graph file format version (1 to 7)")
        ->check(CLI::Range(1, 7))
        ->default_val(7);
    app.add_option("--cell-size", request.cell_size_deg, "Grid cell size of the graph file, degrees")
        ->check(CLI::PositiveNumber)
        ->default_val(0.01);
    app.add_flag("--database", request.database, "Load the database tables (replacing their contents)");
    auto* config_dir = app.add_option("--config-dir", request.config_dir,
                                      "Configuration directory whose database.yaml names the database")
                           ->default_val("config");
    auto* target = app.add_option("-t,--target", request.target, "Target database: master, production or local")
                       ->default_val("master");
    app.add_option("--dem", request.dem_dir, "Directory of SRTM .hgt tiles for elevations");
    app.add_option("--country", request.country,
                   "Country code (e.g. AD) for roads outside every country boundary of the extract");
    app.footer(
        "Without a database.yaml in the configuration directory, --database connects with the PG* environment "
        "variables (PGHOST, PGPORT, PGUSER, PGPASSWORD, PGDATABASE).");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e);
    }
    request.target_given = target->count() > 0 || config_dir->count() > 0;
    if (!request.graph_file && !request.database) {
        std::fputs("Nothing to do: give --graph-file PATH, --database or both\nRun with --help for more information.\n",
                   stderr);
        return 2;
    }

    if (std::getenv("ROUTE_CALCULATOR_LOG")) {
        quorvel_routing::log::init_from_env();
    } else {
        const char* no_colour = std::getenv("NO_COLOR");
        quorvel_routing::log::install(quorvel_routing::log::parse_filter("warn"), !(no_colour && *no_colour));
    }

    auto report = run_import(request);
    if (!report) {
        std::fputs(quorvel_routing::render_error_report(report.error()).c_str(), stderr);
        return 1;
    }
    std::fputs(report->c_str(), stdout);
    return 0;
}
