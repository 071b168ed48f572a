// One reading pass over an OSM file with libosmium; everything the outputs need is collected
// in memory and put together at the end of the pass.

#include <osmium/handler.hpp>
#include <osmium/handler/node_locations_for_ways.hpp>
#include <osmium/index/map/flex_mem.hpp>
#include <osmium/io/any_input.hpp>
#include <osmium/visitor.hpp>

#include <absl/container/flat_hash_map.h>
#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstring>
#include <deque>
#include <numeric>
#include <string_view>
#include <unordered_map>

#include "country.hpp"
#include "dem.hpp"
#include "network.hpp"
#include "quorvel_routing/platform/log.hpp"
#include "quorvel_routing/platform/text.hpp"
#include "quorvel_routing/spatial.hpp"
#include "tags.hpp"

namespace gravix_import {

using quorvel_routing::Error;
using quorvel_routing::fail;

namespace {

constexpr std::string_view kTarget = "gravix_import";

std::optional<std::string_view> tag(const osmium::TagList& tags, const char* key) {
    const char* v = tags.get_value_by_key(key);
    if (!v) return std::nullopt;
    return std::string_view(v);
}

std::optional<std::string> tag_text(const osmium::TagList& tags, const char* key) {
    const char* v = tags.get_value_by_key(key);
    if (!v || !*v) return std::nullopt;
    return std::string(v);
}

// AC socket types; every other known socket type is taken as DC.
bool is_ac_socket(std::string_view type) {
    static constexpr std::string_view kAc[] = {"type2",     "type2_cable", "type1",       "schuko",
                                               "type3a",    "type3c",      "cee_blue",    "cee_red_16a",
                                               "cee_red_32a", "cee_red_63a", "cee_red_125a", "tesla_destination",
                                               "tesla_standard", "gb_t_ac", "bs1363",     "nema_5_15",
                                               "nema_14_50"};
    return std::find(std::begin(kAc), std::end(kAc), type) != std::end(kAc);
}

struct PendingWay {
    RoadWay way;
    std::vector<std::int64_t> node_ids;
    std::optional<int> maxspeed_forward;
    std::optional<int> maxspeed_backward;
    Direction direction = Direction::Both;
};

struct PendingBoundary {
    std::string code;
    std::vector<std::int64_t> way_ids;
};

class Collector : public osmium::handler::Handler {
public:
    // Road nodes: OSM id -> position in `node_ids_`/`node_locations_` (file order of first use).
    absl::flat_hash_map<std::int64_t, std::uint32_t> node_index;
    std::vector<std::int64_t> node_ids;
    std::vector<osmium::Location> node_locations;
    std::vector<PendingWay> ways;
    std::vector<TurnRestriction> restrictions;
    std::vector<PendingBoundary> boundaries;
    std::unordered_map<std::int64_t, RingPiece> boundary_pieces;  // candidate member ways
    std::vector<Station> stations;
    std::vector<Place> places;
    ExtractStats stats;
    std::optional<Error> failure;

    absl::flat_hash_map<std::int64_t, std::uint8_t> barrier_class;  // nodes whose barrier restricts cars

    void node(const osmium::Node& node) {
        ++stats.osm_nodes;
        const auto& tags = node.tags();
        if (tags.empty() || !node.location().valid()) return;
        if (auto barrier = tag(tags, "barrier")) {
            AccessTags access{tag(tags, "access"), tag(tags, "vehicle"), tag(tags, "motor_vehicle"), tag(tags, "motorcar")};
            if (auto cls = barrier_access_class(*barrier, access); cls > 0) barrier_class.emplace(node.id(), cls);
        }
        collect_station_and_place(tags, node.id(), 'n', node.location().lat(), node.location().lon());
    }

    void way(const osmium::Way& way) {
        ++stats.osm_ways;
        if (failure) return;
        const auto& tags = way.tags();
        if (tags.empty()) {
            remember_boundary_piece(way);
            return;
        }
        if (auto boundary = tag(tags, "boundary"); boundary && *boundary == "administrative") remember_boundary_piece(way);
        if (auto highway = tag(tags, "highway")) collect_road(way, *highway);
        if (tags.has_key("amenity") || tags.has_key("shop") || tags.has_key("addr:housenumber") ||
            tags.has_key("addr:street") || tags.has_key("brand") || tags.has_key("tourism") ||
            tags.has_key("name")) {
            double lat = 0, lon = 0;
            if (way_centroid(way, lat, lon)) collect_station_and_place(tags, way.id(), 'w', lat, lon);
        }
    }

    void relation(const osmium::Relation& relation) {
        ++stats.osm_relations;
        const auto& tags = relation.tags();
        auto type = tag(tags, "type");
        if (!type) return;
        if (*type == "restriction") collect_restriction(relation);
        else if (*type == "boundary" || *type == "multipolygon") collect_boundary(relation);
    }

private:
    void remember_boundary_piece(const osmium::Way& way) {
        RingPiece piece;
        for (const auto& ref : way.nodes()) {
            if (!ref.location().valid()) return;
            piece.node_ids.push_back(ref.ref());
            piece.coords.push_back({ref.location().lon(), ref.location().lat()});
        }
        boundary_pieces.emplace(way.id(), std::move(piece));
    }

    static bool way_centroid(const osmium::Way& way, double& lat, double& lon) {
        const auto& refs = way.nodes();
        std::size_t count = refs.size();
        if (count == 0) return false;
        if (count > 1 && refs.front().ref() == refs.back().ref()) --count;
        double sum_lat = 0, sum_lon = 0;
        for (std::size_t i = 0; i < count; ++i) {
            if (!refs[i].location().valid()) return false;
            sum_lat += refs[i].location().lat();
            sum_lon += refs[i].location().lon();
        }
        lat = sum_lat / static_cast<double>(count);
        lon = sum_lon / static_cast<double>(count);
        return true;
    }

    void collect_road(const osmium::Way& way, std::string_view highway) {
        auto road_class = road_class_of(highway);
        if (!road_class) return;
        const auto& tags = way.tags();
        if (auto area = tag(tags, "area"); area && is_yes(*area)) return;
        Direction direction = direction_of(highway, tag(tags, "oneway"), tag(tags, "junction"));
        if (direction == Direction::Closed) {
            ++stats.closed_ways_skipped;
            return;
        }
        PendingWay pending;
        RoadWay& road = pending.way;
        road.osm_id = way.id();
        road.highway = std::string(highway);
        road.road_class = *road_class;
        AccessTags access{tag(tags, "access"), tag(tags, "vehicle"), tag(tags, "motor_vehicle"), tag(tags, "motorcar")};
        road.access_class = access_class_of(access);
        if (!access.access && !access.vehicle && !access.motor_vehicle && !access.motorcar) {
            if (auto service = tag(tags, "service"); service && *service == "emergency_access") road.access_class = 7;
        }
        auto toll_car = tag(tags, "toll:motorcar");
        auto toll = tag(tags, "toll");
        road.toll = toll_car ? is_yes(*toll_car) : (toll && is_yes(*toll));
        road.oneway = direction != Direction::Both;
        auto tunnel = tag(tags, "tunnel");
        auto bridge = tag(tags, "bridge");
        road.structure = (tunnel && *tunnel != "no") || (bridge && *bridge != "no");
        road.name = tag_text(tags, "name");
        road.ref = tag_text(tags, "ref");
        road.surface = tag_text(tags, "surface");
        if (auto v = tag(tags, "maxspeed")) road.maxspeed_kmh = parse_maxspeed_kmh(*v);
        // Without a posted value, the legal limit of the zone the road is tagged with.
        for (const char* zone_key : {"maxspeed:type", "source:maxspeed"}) {
            if (road.maxspeed_kmh) break;
            if (auto v = tag(tags, zone_key); v && v->find(':') != std::string_view::npos)
                road.maxspeed_kmh = parse_maxspeed_kmh(*v);
        }
        pending.maxspeed_forward = road.maxspeed_kmh;
        pending.maxspeed_backward = road.maxspeed_kmh;
        if (auto v = tag(tags, "maxspeed:forward"); v && parse_maxspeed_kmh(*v)) pending.maxspeed_forward = parse_maxspeed_kmh(*v);
        if (auto v = tag(tags, "maxspeed:backward"); v && parse_maxspeed_kmh(*v)) pending.maxspeed_backward = parse_maxspeed_kmh(*v);
        pending.direction = direction;
        for (const auto& ref : way.nodes()) {
            if (!ref.location().valid()) {
                failure = Error(fmt::format(
                    "Way {} references node {}, which is missing from the input (an extract must keep its ways "
                    "complete and list nodes before ways, e.g. osmium extract --strategy complete_ways)",
                    way.id(), ref.ref()));
                return;
            }
            if (!pending.node_ids.empty() && pending.node_ids.back() == ref.ref()) continue;
            pending.node_ids.push_back(ref.ref());
            auto [it, inserted] = node_index.emplace(ref.ref(), static_cast<std::uint32_t>(node_ids.size()));
            if (inserted) {
                node_ids.push_back(ref.ref());
                node_locations.push_back(ref.location());
            }
        }
        if (pending.node_ids.size() < 2) return;
        ++stats.road_ways;
        ways.push_back(std::move(pending));
    }

    void collect_restriction(const osmium::Relation& relation) {
        const auto& tags = relation.tags();
        auto kind = tag(tags, "restriction:motorcar");
        if (!kind) kind = tag(tags, "restriction:motor_vehicle");
        if (!kind) kind = tag(tags, "restriction");
        if (!kind) return;
        ++stats.restrictions_read;
        if (auto except = tag(tags, "except"); except && (except->find("motorcar") != std::string_view::npos ||
                                                           except->find("motor_vehicle") != std::string_view::npos)) {
            quorvel_routing::log::debug(kTarget, "Restriction {} skipped: cars are excepted", relation.id());
            ++stats.restrictions_skipped;
            return;
        }
        if (!kind->starts_with("no_") && !kind->starts_with("only_")) {
            quorvel_routing::log::debug(kTarget, "Restriction {} skipped: unknown kind {}", relation.id(), *kind);
            ++stats.restrictions_skipped;
            return;
        }
        TurnRestriction r;
        r.relation_id = relation.id();
        r.kind = std::string(*kind);
        int from = 0, via = 0, to = 0;
        bool via_is_way = false;
        for (const auto& member : relation.members()) {
            std::string_view role = member.role();
            if (role == "from" && member.type() == osmium::item_type::way) {
                r.from_way = member.ref();
                ++from;
            } else if (role == "to" && member.type() == osmium::item_type::way) {
                r.to_way = member.ref();
                ++to;
            } else if (role == "via") {
                if (member.type() == osmium::item_type::node) {
                    r.via_node = member.ref();
                    ++via;
                } else {
                    via_is_way = true;
                }
            }
        }
        if (via_is_way || from != 1 || via != 1 || to != 1) {
            quorvel_routing::log::debug(kTarget, "Restriction {} skipped: {} ({} from ways, {} via nodes, {} to ways)",
                                        relation.id(),
                                        via_is_way ? "the via member is a way" : "not one from way, one via node and one to way",
                                        from, via, to);
            ++stats.restrictions_skipped;
            return;
        }
        restrictions.push_back(std::move(r));
    }

    void collect_boundary(const osmium::Relation& relation) {
        const auto& tags = relation.tags();
        auto boundary = tag(tags, "boundary");
        auto level = tag(tags, "admin_level");
        if (!boundary || *boundary != "administrative" || !level || *level != "2") return;
        std::optional<std::string_view> code = tag(tags, "ISO3166-1:alpha2");
        if (!code) code = tag(tags, "ISO3166-1");
        if (!code) code = tag(tags, "country_code");
        if (!code || code->size() != 2) return;
        PendingBoundary b;
        b.code = std::string(*code);
        for (char& c : b.code)
            if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        for (const auto& member : relation.members())
            if (member.type() == osmium::item_type::way) b.way_ids.push_back(member.ref());
        boundaries.push_back(std::move(b));
    }

    void collect_station_and_place(const osmium::TagList& tags, std::int64_t id, char osm_type, double lat,
                                   double lon) {
        auto amenity = tag(tags, "amenity");
        bool is_station = amenity && *amenity == "charging_station";
        if (is_station) stations.push_back(station_from(tags, id, osm_type, lat, lon));

        bool has_address = tags.has_key("addr:housenumber") || tags.has_key("addr:street") || tags.has_key("addr:place");
        bool has_name = tags.has_key("name");
        std::optional<std::string> category;
        bool is_settlement = false;
        for (const char* key : {"shop", "amenity", "tourism", "leisure", "office", "craft", "railway",
                                "public_transport", "aeroway", "place"}) {
            if (auto v = tag_text(tags, key)) {
                std::string_view k(key);
                if (k == "railway" && *v != "station" && *v != "halt") continue;
                if (k == "public_transport" && *v != "station") continue;
                if (k == "aeroway" && *v != "aerodrome") continue;
                category = *v;
                is_settlement = k == "place";
                break;
            }
        }
        bool is_poi = has_name && category;
        if (!has_address && !is_poi && !tags.has_key("brand") && !is_station) return;
        Place p;
        p.osm_id = id;
        p.osm_type = osm_type;
        p.lat = lat;
        p.lon = lon;
        p.name = tag_text(tags, "name");
        p.street = tag_text(tags, "addr:street");
        if (!p.street) p.street = tag_text(tags, "addr:place");
        p.housenumber = tag_text(tags, "addr:housenumber");
        p.city = tag_text(tags, "addr:city");
        if (!p.city && is_settlement) p.city = p.name;
        p.postcode = tag_text(tags, "addr:postcode");
        p.category = category;
        p.brand = tag_text(tags, "brand");
        p.operator_name = tag_text(tags, "operator");
        p.country = tag_text(tags, "addr:country");
        places.push_back(std::move(p));
    }

    static Station station_from(const osmium::TagList& tags, std::int64_t id, char osm_type, double lat, double lon) {
        Station s;
        s.id = id;
        s.osm_type = osm_type;
        s.lat = lat;
        s.lon = lon;
        s.name = tag_text(tags, "name");
        s.operator_name = tag_text(tags, "operator");
        s.network = tag_text(tags, "network");
        if (auto cap = tag(tags, "capacity")) {
            int value = 0;
            auto [ptr, ec] = std::from_chars(cap->data(), cap->data() + cap->size(), value);
            if (ec == std::errc() && ptr == cap->data() + cap->size()) s.capacity = value;
        }
        std::optional<double> station_kw;
        if (auto v = tag(tags, "charging_station:output")) station_kw = parse_power_kw(*v);
        std::optional<double> ac_kw, dc_kw;
        bool has_ac = false, has_dc = false;
        std::vector<std::string> plugs;
        for (const auto& t : tags) {
            std::string_view key = t.key();
            if (!key.starts_with("socket:")) continue;
            std::string_view rest = key.substr(7);
            auto colon = rest.find(':');
            std::string_view type = rest.substr(0, colon);
            if (type.empty()) continue;
            bool ac = is_ac_socket(type);
            if (colon == std::string_view::npos) {
                if (!socket_present(t.value())) continue;
                std::string plug = plug_name_of_socket(type);
                if (std::find(plugs.begin(), plugs.end(), plug) == plugs.end()) plugs.push_back(plug);
                (ac ? has_ac : has_dc) = true;
            } else if (rest.substr(colon + 1) == "output") {
                if (auto kw = parse_power_kw(t.value())) {
                    auto& slot = ac ? ac_kw : dc_kw;
                    if (!slot || *kw > *slot) slot = kw;
                }
            }
        }
        std::optional<double> total = station_kw;
        for (const auto& v : {ac_kw, dc_kw})
            if (v && (!total || *v > *total)) total = v;
        s.power_kw = total;
        // Without outputs per socket the station's output goes to the kind of socket it has;
        // with both kinds (or none listed) a value of 50 kW or more can only be DC.
        if (!ac_kw && !dc_kw && station_kw) {
            if (has_dc && !has_ac) dc_kw = station_kw;
            else if (has_ac && !has_dc) ac_kw = station_kw;
            else if (*station_kw >= 50.0) dc_kw = station_kw;
            else ac_kw = station_kw;
        }
        s.is_fast_ac = ac_kw && *ac_kw >= 19.0;
        s.is_fast_dc = dc_kw && *dc_kw >= 50.0;
        if (!plugs.empty()) {
            std::string joined;
            for (const auto& p : plugs) {
                if (!joined.empty()) joined += ',';
                joined += p;
            }
            s.plug_types = joined;
        }
        return s;
    }
};

using LocationIndex = osmium::index::map::FlexMem<osmium::unsigned_object_id_type, osmium::Location>;

}  // namespace

void resolve_restrictions(RoadNetwork& net, const std::vector<TurnRestriction>& restrictions) {
    const auto n = static_cast<std::uint32_t>(net.nodes.size());
    // Out-edges by CSR (edges are sorted by source), in-edges by a counting sort.
    std::vector<std::uint32_t> first_out(n + 1, 0), first_in(n + 1, 0);
    for (const auto& e : net.edges) {
        ++first_out[e.from + 1];
        ++first_in[e.to + 1];
    }
    for (std::uint32_t i = 0; i < n; ++i) {
        first_out[i + 1] += first_out[i];
        first_in[i + 1] += first_in[i];
    }
    std::vector<std::uint32_t> in_edges(net.edges.size());
    {
        std::vector<std::uint32_t> cursor(first_in.begin(), first_in.end() - 1);
        for (std::uint32_t e = 0; e < net.edges.size(); ++e) in_edges[cursor[net.edges[e].to]++] = e;
    }
    absl::flat_hash_map<std::int64_t, std::uint32_t> way_by_id, node_by_id;
    for (std::uint32_t w = 0; w < net.ways.size(); ++w) way_by_id.emplace(net.ways[w].osm_id, w);
    for (std::uint32_t i = 0; i < n; ++i) node_by_id.emplace(net.nodes[i].osm_id, i);

    for (const auto& r : restrictions) {
        auto from_way = way_by_id.find(r.from_way);
        auto to_way = way_by_id.find(r.to_way);
        auto via = node_by_id.find(r.via_node);
        if (from_way == way_by_id.end() || to_way == way_by_id.end() || via == node_by_id.end()) {
            quorvel_routing::log::debug(kTarget, "Restriction {} skipped: from way, via node or to way not on a road",
                                        r.relation_id);
            ++net.stats.restrictions_skipped;
            continue;
        }
        const std::uint32_t v = via->second;
        const bool only = r.kind.starts_with("only_");
        const bool same_way = from_way->second == to_way->second;
        const bool u_turn_kind = r.kind == "no_u_turn" || r.kind == "only_u_turn";
        std::size_t produced = 0;
        for (std::uint32_t k = first_in[v]; k < first_in[v + 1]; ++k) {
            const std::uint32_t fe = in_edges[k];
            if (net.edges[fe].way != from_way->second) continue;
            std::vector<std::uint32_t> allowed_or_banned;
            for (std::uint32_t te = first_out[v]; te < first_out[v + 1]; ++te) {
                const RoadEdge& out = net.edges[te];
                if (out.way != to_way->second) continue;
                // From a way onto itself: a U-turn kind means the reversal, any other kind
                // going on along the way.
                if (same_way && (out.to == net.edges[fe].from) != u_turn_kind) continue;
                allowed_or_banned.push_back(te);
            }
            if (allowed_or_banned.empty()) continue;
            std::vector<std::uint32_t> banned;
            if (only) {
                for (std::uint32_t te = first_out[v]; te < first_out[v + 1]; ++te)
                    if (std::find(allowed_or_banned.begin(), allowed_or_banned.end(), te) == allowed_or_banned.end())
                        banned.push_back(te);
            } else {
                banned = std::move(allowed_or_banned);
            }
            for (std::uint32_t te : banned) {
                net.restriction_pairs.push_back({fe, te});
                net.restriction_triples.push_back(
                    {net.nodes[net.edges[fe].from].osm_id, net.nodes[v].osm_id, net.nodes[net.edges[te].to].osm_id});
                ++produced;
            }
            if (only && banned.empty()) ++produced;  // nothing else to forbid, still understood
        }
        if (produced > 0) {
            ++net.stats.restrictions_used;
        } else {
            quorvel_routing::log::debug(kTarget, "Restriction {} skipped: no edge of way {} enters node {} or none of way {} leaves it",
                                        r.relation_id, r.from_way, r.via_node, r.to_way);
            ++net.stats.restrictions_skipped;
        }
    }
    std::sort(net.restriction_pairs.begin(), net.restriction_pairs.end());
    net.restriction_pairs.erase(std::unique(net.restriction_pairs.begin(), net.restriction_pairs.end()),
                                net.restriction_pairs.end());
    std::sort(net.restriction_triples.begin(), net.restriction_triples.end());
    net.restriction_triples.erase(std::unique(net.restriction_triples.begin(), net.restriction_triples.end()),
                                  net.restriction_triples.end());
}

std::size_t level_structures(std::vector<RoadNode>& nodes, const std::vector<RoadWay>& ways) {
    const std::size_t n = nodes.size();
    std::vector<std::uint8_t> on_plain(n, 0), on_structure(n, 0);
    for (const auto& way : ways)
        for (auto v : way.nodes) (way.structure ? on_structure : on_plain)[v] = 1;
    auto is_anchor = [&](std::uint32_t v) { return on_plain[v] || !on_structure[v]; };
    // Structure ways by their end nodes, to follow chains through inner joints.
    std::unordered_multimap<std::uint32_t, std::uint32_t> by_end;
    for (std::uint32_t w = 0; w < ways.size(); ++w)
        if (ways[w].structure) {
            by_end.emplace(ways[w].nodes.front(), w);
            by_end.emplace(ways[w].nodes.back(), w);
        }
    std::vector<std::uint8_t> used(ways.size(), 0);
    std::vector<std::uint8_t> done(n, 0);
    std::size_t changed = 0;
    auto next_way = [&](std::uint32_t joint) -> std::optional<std::uint32_t> {
        if (is_anchor(joint)) return std::nullopt;
        auto [lo, hi] = by_end.equal_range(joint);
        for (auto it = lo; it != hi; ++it)
            if (!used[it->second]) return it->second;
        return std::nullopt;
    };
    for (std::uint32_t w = 0; w < ways.size(); ++w) {
        if (!ways[w].structure || used[w]) continue;
        used[w] = 1;
        std::deque<std::uint32_t> chain(ways[w].nodes.begin(), ways[w].nodes.end());
        while (auto next = next_way(chain.back())) {
            used[*next] = 1;
            const auto& seq = ways[*next].nodes;
            if (seq.front() == chain.back()) chain.insert(chain.end(), seq.begin() + 1, seq.end());
            else chain.insert(chain.end(), seq.rbegin() + 1, seq.rend());
        }
        while (auto next = next_way(chain.front())) {
            used[*next] = 1;
            const auto& seq = ways[*next].nodes;
            if (seq.back() == chain.front()) chain.insert(chain.begin(), seq.begin(), seq.end() - 1);
            else chain.insert(chain.begin(), seq.rbegin(), seq.rend() - 1);
        }
        // Distance along the chain, then interpolation between consecutive anchors; a chain end
        // without an anchor (a dead-end tunnel) takes the height of the nearest anchor.
        std::vector<double> along(chain.size(), 0.0);
        for (std::size_t i = 1; i < chain.size(); ++i) {
            const RoadNode& a = nodes[chain[i - 1]];
            const RoadNode& b = nodes[chain[i]];
            along[i] = along[i - 1] + quorvel_routing::haversine_m(a.lat, a.lon, b.lat, b.lon);
        }
        std::vector<std::size_t> anchors;
        for (std::size_t i = 0; i < chain.size(); ++i)
            if (is_anchor(chain[i])) anchors.push_back(i);
        if (anchors.empty()) continue;
        auto set = [&](std::size_t i, double h) {
            std::uint32_t v = chain[i];
            if (is_anchor(v) || done[v] || !nodes[v].elevation_m) return;
            nodes[v].elevation_m = h;
            done[v] = 1;
            ++changed;
        };
        for (std::size_t i = 0; i < anchors.front(); ++i) set(i, *nodes[chain[anchors.front()]].elevation_m);
        for (std::size_t i = anchors.back() + 1; i < chain.size(); ++i) set(i, *nodes[chain[anchors.back()]].elevation_m);
        for (std::size_t k = 0; k + 1 < anchors.size(); ++k) {
            const std::size_t i0 = anchors[k], i1 = anchors[k + 1];
            const double h0 = *nodes[chain[i0]].elevation_m, h1 = *nodes[chain[i1]].elevation_m;
            const double span = along[i1] - along[i0];
            for (std::size_t i = i0 + 1; i < i1; ++i)
                set(i, span > 0 ? h0 + (h1 - h0) * (along[i] - along[i0]) / span : h0);
        }
    }
    return changed;
}

std::vector<std::uint8_t> main_component_of(const RoadNetwork& net) {
    const auto n = static_cast<std::uint32_t>(net.nodes.size());
    std::vector<std::uint8_t> result(n, 0);
    if (n == 0) return result;
    std::vector<std::uint32_t> adj_first(n + 1, 0);
    std::vector<std::uint32_t> adj;
    for (const auto& e : net.edges)
        if (e.access_class <= 4) ++adj_first[e.from + 1];
    for (std::uint32_t i = 0; i < n; ++i) adj_first[i + 1] += adj_first[i];
    adj.resize(adj_first[n]);
    {
        std::vector<std::uint32_t> cursor(adj_first.begin(), adj_first.end() - 1);
        for (const auto& e : net.edges)
            if (e.access_class <= 4) adj[cursor[e.from]++] = e.to;
    }
    // Iterative Tarjan.
    constexpr std::uint32_t kUnseen = 0xFFFFFFFFu;
    std::vector<std::uint32_t> index(n, kUnseen), low(n, 0), component(n, kUnseen);
    std::vector<std::uint32_t> stack, call_node, call_next;
    std::vector<std::uint32_t> component_size;
    std::uint32_t counter = 0;
    for (std::uint32_t root = 0; root < n; ++root) {
        if (index[root] != kUnseen) continue;
        call_node.push_back(root);
        call_next.push_back(adj_first[root]);
        index[root] = low[root] = counter++;
        stack.push_back(root);
        while (!call_node.empty()) {
            std::uint32_t u = call_node.back();
            std::uint32_t& next = call_next.back();
            if (next < adj_first[u + 1]) {
                std::uint32_t w = adj[next++];
                if (index[w] == kUnseen) {
                    index[w] = low[w] = counter++;
                    stack.push_back(w);
                    call_node.push_back(w);
                    call_next.push_back(adj_first[w]);
                } else if (component[w] == kUnseen) {
                    low[u] = std::min(low[u], index[w]);
                }
                continue;
            }
            if (low[u] == index[u]) {
                auto id = static_cast<std::uint32_t>(component_size.size());
                std::uint32_t size = 0;
                while (true) {
                    std::uint32_t w = stack.back();
                    stack.pop_back();
                    component[w] = id;
                    ++size;
                    if (w == u) break;
                }
                component_size.push_back(size);
            }
            call_node.pop_back();
            call_next.pop_back();
            if (!call_node.empty()) low[call_node.back()] = std::min(low[call_node.back()], low[u]);
        }
    }
    auto largest = static_cast<std::uint32_t>(
        std::max_element(component_size.begin(), component_size.end()) - component_size.begin());
    for (std::uint32_t i = 0; i < n; ++i) result[i] = component[i] == largest ? 1 : 0;
    return result;
}

Result<RoadNetwork> extract_network(const ExtractOptions& options) {
    Collector collector;
    try {
        osmium::io::File file(options.input_path);
        osmium::io::Reader reader(file, osmium::osm_entity_bits::all);
        // Negative ids (files written by editors before upload) get an index of their own.
        LocationIndex index, negative_index;
        osmium::handler::NodeLocationsForWays<LocationIndex, LocationIndex> locations(index, negative_index);
        locations.ignore_errors();
        const double file_size = static_cast<double>(std::max<std::size_t>(reader.file_size(), 1));
        auto last = std::chrono::steady_clock::now();
        while (osmium::memory::Buffer buffer = reader.read()) {
            osmium::apply(buffer, locations, collector);
            if (collector.failure) break;
            auto now = std::chrono::steady_clock::now();
            if (options.progress && now - last >= std::chrono::seconds(2)) {
                last = now;
                options.progress(collector.stats, static_cast<double>(reader.offset()) / file_size);
            }
        }
        reader.close();
    } catch (const std::exception& e) {
        return fail(Error(fmt::format("Failed to read OSM file {}", options.input_path), {e.what()}));
    }
    if (collector.failure)
        return fail(Error(fmt::format("Failed to read OSM file {}", options.input_path), {collector.failure->message}));
    if (collector.stats.osm_nodes + collector.stats.osm_ways + collector.stats.osm_relations == 0)
        return fail(fmt::format("Failed to read OSM file {}: it holds no OSM objects", options.input_path));
    if (collector.ways.empty())
        return fail(fmt::format("No car-routable roads in {}", options.input_path));

    RoadNetwork net;
    net.stats = collector.stats;

    // Nodes in OSM id order.
    const auto node_count = static_cast<std::uint32_t>(collector.node_ids.size());
    std::vector<std::uint32_t> order(node_count);
    std::iota(order.begin(), order.end(), 0u);
    std::sort(order.begin(), order.end(),
              [&](std::uint32_t a, std::uint32_t b) { return collector.node_ids[a] < collector.node_ids[b]; });
    std::vector<std::uint32_t> new_index(node_count);
    net.nodes.resize(node_count);
    for (std::uint32_t i = 0; i < node_count; ++i) {
        new_index[order[i]] = i;
        const auto& loc = collector.node_locations[order[i]];
        net.nodes[i] = RoadNode{collector.node_ids[order[i]], loc.lat(), loc.lon(), std::nullopt};
    }
    collector.node_locations = {};

    // Countries from the boundaries in the extract.
    std::vector<CountryShape> shapes;
    for (const auto& b : collector.boundaries) {
        std::vector<RingPiece> pieces;
        for (auto id : b.way_ids)
            if (auto it = collector.boundary_pieces.find(id); it != collector.boundary_pieces.end()) pieces.push_back(it->second);
        std::size_t dropped = 0;
        auto rings = assemble_rings(std::move(pieces), &dropped);
        if (rings.empty()) {
            quorvel_routing::log::warn(kTarget, "Boundary of {} is incomplete in the extract; not used", b.code);
            continue;
        }
        shapes.emplace_back(b.code, std::move(rings));
    }
    collector.boundary_pieces.clear();
    net.stats.boundaries = shapes.size();
    absl::flat_hash_map<std::string, std::uint32_t> code_index;
    auto code_slot = [&](const std::string& code) {
        auto [it, inserted] = code_index.emplace(code, static_cast<std::uint32_t>(net.country_codes.size()));
        if (inserted) net.country_codes.push_back(code);
        return it->second;
    };
    std::optional<std::uint32_t> default_slot;
    if (options.default_country) default_slot = code_slot(*options.default_country);
    std::size_t last_shape = 0;
    auto country_at = [&](double lat, double lon) -> std::uint32_t {
        if (!shapes.empty()) {
            if (shapes[last_shape].contains(lat, lon)) return code_slot(shapes[last_shape].code());
            for (std::size_t s = 0; s < shapes.size(); ++s)
                if (s != last_shape && shapes[s].contains(lat, lon)) {
                    last_shape = s;
                    return code_slot(shapes[s].code());
                }
        }
        return default_slot.value_or(0);
    };

    // Ways, elevations, edges.
    net.ways.reserve(collector.ways.size());
    for (auto& pending : collector.ways) {
        RoadWay way = std::move(pending.way);
        for (auto id : pending.node_ids) way.nodes.push_back(new_index[collector.node_index.at(id)]);
        net.ways.push_back(std::move(way));
    }
    if (options.dem_dir) {
        Dem dem(*options.dem_dir);
        for (auto& node : net.nodes) {
            auto h = dem.elevation_m(node.lat, node.lon);
            if (!h) return fail(std::move(h).error().context(fmt::format("Failed to read elevations from {}", *options.dem_dir)));
            node.elevation_m = *h;
        }
        net.has_elevation = true;
        net.stats.structure_nodes_levelled = level_structures(net.nodes, net.ways);
        net.stats.dem_tiles = dem.tiles_loaded();
        net.stats.dem_voids_filled = dem.voids_filled();
    }

    for (std::size_t w = 0; w < collector.ways.size(); ++w) {
        const auto& pending = collector.ways[w];
        const auto way_index = static_cast<std::uint32_t>(w);
        const RoadWay& way = net.ways[w];
        for (std::size_t i = 0; i + 1 < way.nodes.size(); ++i) {
            const std::uint32_t a = way.nodes[i], b = way.nodes[i + 1];
            const RoadNode& na = net.nodes[a];
            const RoadNode& nb = net.nodes[b];
            RoadEdge edge;
            edge.way = way_index;
            edge.horizontal_m = quorvel_routing::haversine_m(na.lat, na.lon, nb.lat, nb.lon);
            edge.length_m = edge.horizontal_m;
            if (na.elevation_m && nb.elevation_m) {
                const double rise = *nb.elevation_m - *na.elevation_m;
                edge.length_m = std::sqrt(edge.horizontal_m * edge.horizontal_m + rise * rise);
            }
            edge.access_class = way.access_class;
            for (const RoadNode* end : {&na, &nb})
                if (auto it = collector.barrier_class.find(end->osm_id); it != collector.barrier_class.end())
                    edge.access_class = std::max(edge.access_class, it->second);
            edge.country_code = country_at((na.lat + nb.lat) / 2, (na.lon + nb.lon) / 2);
            edge.country = country_table_index(net.country_codes[edge.country_code]);
            if (pending.direction == Direction::Both || pending.direction == Direction::Forward) {
                RoadEdge e = edge;
                e.from = a;
                e.to = b;
                e.maxspeed_kmh = pending.maxspeed_forward;
                net.edges.push_back(e);
            }
            if (pending.direction == Direction::Both || pending.direction == Direction::Backward) {
                RoadEdge e = edge;
                e.from = b;
                e.to = a;
                e.maxspeed_kmh = pending.maxspeed_backward;
                net.edges.push_back(e);
            }
        }
    }
    collector.ways = {};
    for (const auto& node : net.nodes)
        if (collector.barrier_class.contains(node.osm_id)) ++net.stats.barriers;
    std::stable_sort(net.edges.begin(), net.edges.end(),
                     [](const RoadEdge& x, const RoadEdge& y) { return x.from < y.from; });

    resolve_restrictions(net, collector.restrictions);
    net.main_component = main_component_of(net);
    net.stats.main_component_nodes =
        static_cast<std::uint32_t>(std::count(net.main_component.begin(), net.main_component.end(), 1));

    net.stations = std::move(collector.stations);
    std::sort(net.stations.begin(), net.stations.end(), [](const Station& a, const Station& b) {
        return std::tie(a.osm_type, a.id) < std::tie(b.osm_type, b.id);
    });
    net.places = std::move(collector.places);
    for (auto& place : net.places) {
        if (place.country) continue;
        std::uint32_t slot = country_at(place.lat, place.lon);
        if (slot != 0) place.country = net.country_codes[slot];
    }
    return net;
}

}  // namespace gravix_import
