// The database output against a real PostGIS: the rows of the fixture, replacement of earlier
// contents, and a failed load that leaves the earlier contents in place.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fmt/format.h>

#include "network.hpp"
#include "outputs.hpp"
#include "pg_harness.hpp"

namespace qr = quorvel_routing;
using namespace gravix_import;
using ::testing::ElementsAre;

namespace {

RoadNetwork extract_small() {
    ExtractOptions options;
    options.input_path = std::string(GI_TEST_DATA_DIR) + "/small.osm";
    options.default_country = "FR";
    auto net = extract_network(options);
    if (!net) ADD_FAILURE() << qr::render_error_report(net.error());
    return net ? std::move(*net) : RoadNetwork{};
}

class ImportDatabaseTest : public qr_test::DatabaseTest {
protected:
    // Every row of a query, columns joined with '|', NULL as "~".
    std::vector<std::string> rows(const std::string& sql_text) {
        auto result = sql().query(sql_text);
        std::vector<std::string> out;
        if (!result) {
            ADD_FAILURE() << result.error().message;
            return out;
        }
        auto wrapped = sql().query(fmt::format(
            "SELECT concat_ws('|', VARIADIC ARRAY(SELECT coalesce(x::text, '~') FROM json_each_text(row_to_json(q)) "
            "AS t(k, x))) FROM ({}) q",
            sql_text));
        if (!wrapped) {
            ADD_FAILURE() << wrapped.error().message;
            return out;
        }
        for (const auto& row : *wrapped) out.push_back(row.get<std::string>(0).value_or("?"));
        return out;
    }
    std::int64_t count(const std::string& table) {
        auto row = sql().query_one("SELECT count(*) FROM " + table);
        return row ? row->get<std::int64_t>(0).value_or(-1) : -1;
    }
};

TEST_F(ImportDatabaseTest, FixtureRows) {
    const RoadNetwork net = extract_small();
    auto loaded = load_database(net, database().conninfo());
    ASSERT_TRUE(loaded.has_value()) << qr::render_error_report(loaded.error());
    // Private (105), agricultural (108) and closed (109) roads stay out of routing_edges.
    EXPECT_EQ(loaded->nodes, 10);
    EXPECT_EQ(loaded->routing_edges, 11);
    EXPECT_EQ(loaded->road_segments, 9);
    EXPECT_EQ(loaded->way_nodes, 19);
    EXPECT_EQ(loaded->charging_stations, 2);
    EXPECT_EQ(loaded->address_points, 4);

    EXPECT_THAT(rows("SELECT id, lat, lon, ST_AsText(geometry) FROM nodes WHERE id IN (3, 11) ORDER BY id"),
                ElementsAre("3|42.502|1.5|POINT(1.5 42.502)", "11|42.501|1.501|POINT(1.501 42.501)"));
    EXPECT_THAT(rows("SELECT from_node, to_node, way_id, highway_type, speed_limit_kmh, is_toll, surface, country_code, "
                     "from_elevation_m, to_elevation_m FROM routing_edges ORDER BY id"),
                ElementsAre("1|2|100|primary|50|false|asphalt|AD|~|~", "2|1|100|primary|50|false|asphalt|AD|~|~",
                            "2|3|100|primary|50|false|asphalt|AD|~|~", "3|2|100|primary|50|false|asphalt|AD|~|~",
                            "3|4|101|secondary|48|false|~|AD|~|~", "3|7|104|tertiary|~|false|~|AD|~|~",
                            "4|5|102|motorway|120|true|~|AD|~|~", "6|5|103|residential|50|false|~|AD|~|~",
                            "7|3|104|tertiary|~|false|~|AD|~|~", "8|9|106|unclassified|~|false|~|FR|~|~",
                            "9|8|106|unclassified|~|false|~|FR|~|~"));
    auto length = sql().query_one("SELECT distance_m FROM routing_edges WHERE from_node = 1 AND to_node = 2");
    ASSERT_TRUE(length.has_value());
    EXPECT_FLOAT_EQ(length->get<float>(0).value_or(0), static_cast<float>(net.edges[0].length_m));
    EXPECT_THAT(rows("SELECT id, highway_type, ST_AsText(geometry) FROM road_segments WHERE id = 100"),
                ElementsAre("100|primary|LINESTRING(1.5 42.5,1.5 42.501,1.5 42.502)"));
    EXPECT_THAT(rows("SELECT way_id, sequence_id, node_id FROM way_nodes WHERE way_id = 100 ORDER BY sequence_id"),
                ElementsAre("100|0|1", "100|1|2", "100|2|3"));
    // The area's position is the mean of its corners (not exactly representable, hence rounded).
    EXPECT_THAT(rows("SELECT id, source, round(lat::numeric, 9)::float8, round(lon::numeric, 9)::float8, power_kw, "
                     "operator, network, plug_types, is_fast_ac, is_fast_dc, "
                     "ST_X(geometry) = lon AND ST_Y(geometry) = lat FROM charging_stations ORDER BY id"),
                ElementsAre("-500|osm|42.5002|1.5012|11|~|~|Type2|false|false|true",
                            "20|osm|42.5005|1.5005|50|FEDA|FEDA Ecomobilitat|Type2,CCS|true|true|true"));
    EXPECT_THAT(rows("SELECT osm_type, osm_id, name, street, housenumber, city, postcode, category, brand, operator, "
                     "country FROM addresses ORDER BY id"),
                ElementsAre("node|20|~|~|~|~|~|charging_station|~|FEDA|AD",
                            "node|21|Forn Test|Carrer Major|5|Andorra la Vella|AD500|bakery|~|~|AD",
                            "node|22|Testville|~|~|Testville|~|town|~|~|AD",
                            "way|500|~|~|~|~|~|charging_station|~|~|AD"));
}

TEST_F(ImportDatabaseTest, ASecondImportReplacesTheFirst) {
    const RoadNetwork net = extract_small();
    ASSERT_TRUE(load_database(net, database().conninfo()).has_value());
    ASSERT_TRUE(load_database(net, database().conninfo()).has_value());
    EXPECT_EQ(count("nodes"), 10);
    EXPECT_EQ(count("routing_edges"), 11);
    EXPECT_EQ(count("address_points"), 4);
    // The identity column starts again, as for a first import.
    EXPECT_THAT(rows("SELECT min(id), max(id) FROM routing_edges"), ElementsAre("1|11"));
}

TEST_F(ImportDatabaseTest, AFailedLoadKeepsWhatWasThere) {
    const RoadNetwork net = extract_small();
    ASSERT_TRUE(load_database(net, database().conninfo()).has_value());
    // The last table of the load refuses rows: everything before it must be rolled back too.
    ASSERT_TRUE(sql().exec_script(R"(
        CREATE FUNCTION refuse_rows() RETURNS trigger LANGUAGE plpgsql AS
            $$ BEGIN RAISE EXCEPTION 'address_points refuses rows'; END $$;
        CREATE TRIGGER refuse BEFORE INSERT ON address_points FOR EACH ROW EXECUTE FUNCTION refuse_rows();
    )").has_value());
    RoadNetwork smaller = net;
    smaller.stations.clear();
    smaller.edges.resize(3);
    auto loaded = load_database(smaller, database().conninfo());
    ASSERT_FALSE(loaded.has_value());
    EXPECT_EQ(loaded.error().message, "Failed to load the database; it keeps its earlier contents");
    ASSERT_FALSE(loaded.error().causes.empty());
    EXPECT_THAT(loaded.error().causes.back(), ::testing::HasSubstr("address_points refuses rows"));
    EXPECT_EQ(count("routing_edges"), 11);
    EXPECT_EQ(count("charging_stations"), 2);
    EXPECT_EQ(count("address_points"), 4);
    ASSERT_TRUE(sql().exec_script("DROP TRIGGER refuse ON address_points; DROP FUNCTION refuse_rows();").has_value());
}

}  // namespace
