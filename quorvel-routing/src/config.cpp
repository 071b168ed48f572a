#include "quorvel_routing/config.hpp"
#include "quorvel_routing/platform/text.hpp"

#include <yaml-cpp/yaml.h>
#include <fmt/format.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <fstream>
#include <functional>
#include <limits>
#include <set>
#include <sstream>
#include <sys/stat.h>

namespace quorvel_routing {

std::string DatabaseConnection::connection_string() const {
    return fmt::format("host={} port={} user={} password={} dbname={}", host, port, user, password, database);
}

namespace {

// ---- reading files ---------------------------------------------------------------------------

bool is_directory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Joins like a path join: an absolute second part replaces the first.
std::string join_path(const std::string& base, const std::string& part) {
    if (part.starts_with('/') || base.empty()) return part;
    if (base.ends_with('/')) return base + part;
    return base + "/" + part;
}

bool valid_utf8(const std::string& s) {
    size_t i = 0;
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    while (i < s.size()) {
        unsigned char c = p[i];
        size_t n = 0;
        std::uint32_t cp = 0;
        if (c < 0x80) { ++i; continue; }
        if ((c & 0xE0) == 0xC0) { n = 1; cp = c & 0x1F; }
        else if ((c & 0xF0) == 0xE0) { n = 2; cp = c & 0x0F; }
        else if ((c & 0xF8) == 0xF0) { n = 3; cp = c & 0x07; }
        else return false;
        for (size_t k = 1; k <= n; ++k) {
            if (i + k >= s.size() || (p[i + k] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (p[i + k] & 0x3F);
        }
        if ((n == 1 && cp < 0x80) || (n == 2 && cp < 0x800) || (n == 3 && cp < 0x10000) || cp > 0x10FFFF ||
            (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += n + 1;
    }
    return true;
}

Result<std::string> read_text_file(const std::string& path) {
    if (is_directory(path)) return fail(os_error_message(EISDIR));
    std::ifstream in(path, std::ios::binary);
    if (!in) return fail(os_error_message(errno ? errno : ENOENT));
    std::ostringstream buf;
    buf << in.rdbuf();
    if (in.bad()) return fail(os_error_message(errno ? errno : EIO));
    std::string text = buf.str();
    if (!valid_utf8(text)) return fail("stream did not contain valid UTF-8");
    return text;
}

// ---- decoding YAML onto records --------------------------------------------------------------

std::string position(const YAML::Node& node) {
    YAML::Mark m = node.Mark();
    if (m.line < 0) return "";
    return fmt::format(" at line {} column {}", m.line + 1, m.column + 1);
}

std::string describe(const YAML::Node& node) {
    switch (node.Type()) {
        case YAML::NodeType::Null: return "unit value";
        case YAML::NodeType::Sequence: return "sequence";
        case YAML::NodeType::Map: return "map";
        case YAML::NodeType::Scalar:
            if (node.Tag() == "!") return fmt::format("string \"{}\"", node.Scalar());
            return fmt::format("`{}`", node.Scalar());
        default: return "value";
    }
}

struct Decoder {
    // The dotted path of the value being decoded, for messages ("route.start.latitude").
    std::string path;

    Error mismatch(const YAML::Node& node, std::string_view expected) const {
        std::string prefix = path.empty() ? "" : path + ": ";
        return Error(fmt::format("{}invalid type: {}, expected {}{}", prefix, describe(node), expected, position(node)));
    }
    Error invalid_value(const YAML::Node& node, std::string_view what) const {
        std::string prefix = path.empty() ? "" : path + ": ";
        return Error(fmt::format("{}invalid value: {}, expected {}{}", prefix, describe(node), what, position(node)));
    }
    Decoder child(std::string_view key) const { return Decoder{path.empty() ? std::string(key) : path + "." + std::string(key)}; }
};

bool is_null(const YAML::Node& node) {
    if (!node.IsDefined() || node.IsNull()) return true;
    if (node.IsScalar() && node.Tag() != "!") {
        const std::string& s = node.Scalar();
        return s == "~" || s == "null" || s == "Null" || s == "NULL" || s.empty();
    }
    return false;
}

bool plain_scalar(const YAML::Node& node) { return node.IsScalar() && node.Tag() != "!"; }

Result<std::string> decode_text(const Decoder& d, const YAML::Node& node) {
    if (!node.IsScalar() || is_null(node)) return fail(d.mismatch(node, "a string"));
    return node.Scalar();
}

// YAML 1.2 core-schema floats and integers.
std::optional<double> scalar_number(const std::string& raw) {
    std::string s = raw;
    if (s == ".inf" || s == ".Inf" || s == ".INF" || s == "+.inf" || s == "+.Inf" || s == "+.INF")
        return std::numeric_limits<double>::infinity();
    if (s == "-.inf" || s == "-.Inf" || s == "-.INF") return -std::numeric_limits<double>::infinity();
    if (s == ".nan" || s == ".NaN" || s == ".NAN") return std::numeric_limits<double>::quiet_NaN();
    // Anything with letters other than an exponent is text to YAML, whatever the float grammar says.
    for (char c : s)
        if (!(std::isdigit(static_cast<unsigned char>(c)) || c == '.' || c == 'e' || c == 'E' || c == '-' || c == '+'))
            return std::nullopt;
    return text::parse_f64(s);
}

std::optional<std::int64_t> scalar_integer(const std::string& raw) {
    std::string_view v = raw;
    if (v.starts_with('+')) v.remove_prefix(1);
    if (v.empty()) return std::nullopt;
    std::int64_t value = 0;
    auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), value);
    if (ec != std::errc{} || end != v.data() + v.size()) return std::nullopt;
    return value;
}

Result<double> decode_f64(const Decoder& d, const YAML::Node& node) {
    if (!plain_scalar(node) || is_null(node)) return fail(d.mismatch(node, "f64"));
    auto v = scalar_number(node.Scalar());
    if (!v) return fail(d.mismatch(node, "f64"));
    return *v;
}

Result<float> decode_f32(const Decoder& d, const YAML::Node& node) {
    if (!plain_scalar(node) || is_null(node)) return fail(d.mismatch(node, "f32"));
    auto v = scalar_number(node.Scalar());
    if (!v) return fail(d.mismatch(node, "f32"));
    return static_cast<float>(*v);
}

template <class U>
Result<U> decode_unsigned(const Decoder& d, const YAML::Node& node, std::string_view type_name) {
    if (!plain_scalar(node) || is_null(node)) return fail(d.mismatch(node, type_name));
    auto v = scalar_integer(node.Scalar());
    if (!v) return fail(d.mismatch(node, type_name));
    if (*v < 0 || static_cast<std::uint64_t>(*v) > std::numeric_limits<U>::max())
        return fail(d.invalid_value(node, type_name));
    return static_cast<U>(*v);
}

Result<bool> decode_bool(const Decoder& d, const YAML::Node& node) {
    if (plain_scalar(node)) {
        const std::string& s = node.Scalar();
        if (s == "true" || s == "True" || s == "TRUE") return true;
        if (s == "false" || s == "False" || s == "FALSE") return false;
    }
    return fail(d.mismatch(node, "a boolean"));
}

// Walks the pairs of a mapping (a null value counts as an empty one), rejecting repeated keys;
// `on_field` sees every key once. Keys the caller does not know are its to ignore.
Result<void> walk_mapping(const Decoder& d, const YAML::Node& node, std::string_view what,
                          const std::function<Result<void>(const std::string&, const YAML::Node&)>& on_field) {
    if (is_null(node)) return {};
    if (!node.IsMap()) return fail(d.mismatch(node, what));
    std::set<std::string> seen;
    for (auto it = node.begin(); it != node.end(); ++it) {
        // The iterator yields a temporary pair: copy the (shared, cheap) node handles out of it.
        YAML::Node key_node = it->first;
        YAML::Node value_node = it->second;
        if (!key_node.IsScalar()) return fail(d.mismatch(key_node, "a string key"));
        std::string key = key_node.Scalar();
        if (!seen.insert(key).second) {
            std::string prefix = d.path.empty() ? "" : d.path + ": ";
            return fail(fmt::format("{}duplicate field `{}`{}", prefix, key, position(key_node)));
        }
        QR_TRY(on_field(key, value_node));
    }
    return {};
}

Error missing_field(const Decoder& d, const YAML::Node& node, std::string_view field) {
    std::string prefix = d.path.empty() ? "" : d.path + ": ";
    return Error(fmt::format("{}missing field `{}`{}", prefix, field, position(node)));
}

template <class T>
Result<void> optional_into(std::optional<T>& out, Result<T> value) {
    if (!value) return fail(std::move(value).error());
    out = std::move(*value);
    return {};
}

Result<DatabaseConnection> decode_connection(const Decoder& d, const YAML::Node& node) {
    DatabaseConnection c;
    bool host = false, port = false, user = false, password = false, database = false;
    QR_TRY(walk_mapping(d, node, "struct DatabaseConnection", [&](const std::string& key, const YAML::Node& v) -> Result<void> {
        Decoder cd = d.child(key);
        if (key == "host") { c.host = QR_TRY(decode_text(cd, v)); host = true; }
        else if (key == "port") { c.port = QR_TRY(decode_unsigned<std::uint16_t>(cd, v, "u16")); port = true; }
        else if (key == "user") { c.user = QR_TRY(decode_text(cd, v)); user = true; }
        else if (key == "password") { c.password = QR_TRY(decode_text(cd, v)); password = true; }
        else if (key == "database") { c.database = QR_TRY(decode_text(cd, v)); database = true; }
        return {};
    }));
    if (!host) return fail(missing_field(d, node, "host"));
    if (!port) return fail(missing_field(d, node, "port"));
    if (!user) return fail(missing_field(d, node, "user"));
    if (!password) return fail(missing_field(d, node, "password"));
    if (!database) return fail(missing_field(d, node, "database"));
    return c;
}

Result<Coordinate> decode_coordinate(const Decoder& d, const YAML::Node& node) {
    Coordinate c;
    QR_TRY(walk_mapping(d, node, "struct Coordinate", [&](const std::string& key, const YAML::Node& v) -> Result<void> {
        Decoder cd = d.child(key);
        if (key == "latitude") c.latitude = QR_TRY(decode_f64(cd, v));
        else if (key == "longitude") c.longitude = QR_TRY(decode_f64(cd, v));
        else if (key == "address" && !is_null(v)) c.address = QR_TRY(decode_text(cd, v));
        return {};
    }));
    return c;
}

template <class V>
Result<std::map<std::string, V>> decode_map(const Decoder& d, const YAML::Node& node,
                                            const std::function<Result<V>(const Decoder&, const YAML::Node&)>& value) {
    std::map<std::string, V> out;
    QR_TRY(walk_mapping(d, node, "a map", [&](const std::string& key, const YAML::Node& v) -> Result<void> {
        out[key] = QR_TRY(value(d.child(key), v));
        return {};
    }));
    return out;
}

Result<RouteConfig> decode_route(const Decoder& d, const YAML::Node& node) {
    RouteConfig r;
    bool start = false, end = false;
    QR_TRY(walk_mapping(d, node, "struct RouteConfig", [&](const std::string& key, const YAML::Node& v) -> Result<void> {
        Decoder cd = d.child(key);
        if (key == "start") { r.start = QR_TRY(decode_coordinate(cd, v)); start = true; }
        else if (key == "end") { r.end = QR_TRY(decode_coordinate(cd, v)); end = true; }
        else if (key == "profile") r.profile = QR_TRY(decode_text(cd, v));
        else if (key == "avoid_tolls") r.avoid_tolls = QR_TRY(decode_map<bool>(cd, v, decode_bool));
        return {};
    }));
    if (!start) return fail(missing_field(d, node, "start"));
    if (!end) return fail(missing_field(d, node, "end"));
    return r;
}

Result<YAML::Node> load_yaml(const std::string& text) {
    try {
        return YAML::Load(text);
    } catch (const YAML::Exception& e) {
        return fail(e.what());
    }
}

}  // namespace

Result<DatabaseConfig> parse_database_config(const std::string& yaml_text) {
    YAML::Node root = QR_TRY(load_yaml(yaml_text));
    Decoder d;
    DatabaseConfig cfg;
    QR_TRY(walk_mapping(d, root, "struct DatabaseConfig", [&](const std::string& key, const YAML::Node& v) -> Result<void> {
        Decoder cd = d.child(key);
        std::optional<DatabaseConnection>* slot = key == "master"       ? &cfg.master
                                                  : key == "production" ? &cfg.production
                                                  : key == "local"      ? &cfg.local
                                                                        : nullptr;
        if (slot && !is_null(v)) *slot = QR_TRY(decode_connection(cd, v));
        return {};
    }));
    return cfg;
}

Result<NavigationConfig> parse_navigation_config(const std::string& yaml_text) {
    YAML::Node root = QR_TRY(load_yaml(yaml_text));
    Decoder d;
    NavigationConfig nav;
    bool route = false;
    QR_TRY(walk_mapping(d, root, "struct NavigationConfig", [&](const std::string& key, const YAML::Node& v) -> Result<void> {
        Decoder cd = d.child(key);
        if (key == "vehicle") nav.vehicle = QR_TRY(decode_text(cd, v));
        else if (key == "route") { nav.route = QR_TRY(decode_route(cd, v)); route = true; }
        return {};
    }));
    if (!route) return fail(missing_field(d, root, "route"));
    return nav;
}

Result<EvConfig> parse_ev_config(const std::string& yaml_text) {
    YAML::Node root = QR_TRY(load_yaml(yaml_text));
    Decoder d;
    EvConfig ev;
    auto opt_f32 = [](std::optional<float>& out, const Decoder& cd, const YAML::Node& v) -> Result<void> {
        if (is_null(v)) { out.reset(); return {}; }
        return optional_into(out, decode_f32(cd, v));
    };
    QR_TRY(walk_mapping(d, root, "struct EvConfig", [&](const std::string& key, const YAML::Node& v) -> Result<void> {
        Decoder cd = d.child(key);
        if (key == "name") {
            if (is_null(v)) ev.name.reset();
            else ev.name = QR_TRY(decode_text(cd, v));
        } else if (key == "vehicle_mass_kg") ev.vehicle_mass_kg = QR_TRY(decode_f32(cd, v));
        else if (key == "battery_capacity_kwh") ev.battery_capacity_kwh = QR_TRY(decode_f32(cd, v));
        else if (key == "base_consumption_wh_per_km") ev.base_consumption_wh_per_km = QR_TRY(decode_f32(cd, v));
        else if (key == "regen_efficiency") ev.regen_efficiency = QR_TRY(decode_f32(cd, v));
        else if (key == "motor_efficiency") ev.motor_efficiency = QR_TRY(decode_f32(cd, v));
        else if (key == "aero_factor") ev.aero_factor = QR_TRY(decode_f32(cd, v));
        else if (key == "time_weight") QR_TRY(opt_f32(ev.time_weight, cd, v));
        else if (key == "road_class_factors") ev.road_class_factors = QR_TRY(decode_map<float>(cd, v, decode_f32));
        else if (key == "speed_table") ev.speed_table = QR_TRY(decode_map<float>(cd, v, decode_f32));
        else if (key == "initial_charge_kwh") QR_TRY(opt_f32(ev.initial_charge_kwh, cd, v));
        else if (key == "min_charge_kwh") QR_TRY(opt_f32(ev.min_charge_kwh, cd, v));
        else if (key == "charge_target_pct") ev.charge_target_pct = QR_TRY(decode_f32(cd, v));
        else if (key == "max_charge_power_kw") QR_TRY(opt_f32(ev.max_charge_power_kw, cd, v));
        else if (key == "plug_types") {
            ev.plug_types.clear();
            if (is_null(v)) return {};
            if (!v.IsSequence()) return fail(cd.mismatch(v, "a sequence"));
            for (size_t i = 0; i < v.size(); ++i)
                ev.plug_types.push_back(QR_TRY(decode_text(cd.child(std::to_string(i)), v[i])));
        } else if (key == "forecast_drive_speed_factor") QR_TRY(opt_f32(ev.forecast_drive_speed_factor, cd, v));
        else if (key == "forecast_intersection_delay_s") QR_TRY(opt_f32(ev.forecast_intersection_delay_s, cd, v));
        else if (key == "forecast_intersection_min_out_degree") {
            if (is_null(v)) ev.forecast_intersection_min_out_degree.reset();
            else ev.forecast_intersection_min_out_degree = QR_TRY(decode_unsigned<std::uint32_t>(cd, v, "u32"));
        }
        return {};
    }));
    return ev;
}

Result<Config> Config::load_from_dir(const std::string& dir) {
    std::string chosen = dir;
    if (!is_directory(chosen)) {
        std::string fallback = join_path("../..", dir);
        if (!is_directory(fallback))
            return fail(fmt::format("Config directory not found: '{}' (also tried '{}')", dir, fallback));
        chosen = fallback;
    }

    std::string db_path = join_path(chosen, "database.yaml");
    auto db_text = read_text_file(db_path);
    if (!db_text) return fail(db_text.error().context(fmt::format("Failed to read {}", db_path)));
    auto database = parse_database_config(*db_text);
    if (!database) return fail(database.error().context(fmt::format("Failed to parse {}", db_path)));

    std::string nav_path = join_path(chosen, "navigation.yaml");
    auto nav_text = read_text_file(nav_path);
    if (!nav_text) return fail(nav_text.error().context(fmt::format("Failed to read {}", nav_path)));
    auto navigation = parse_navigation_config(*nav_text);
    if (!navigation) return fail(navigation.error().context(fmt::format("Failed to parse {}", nav_path)));

    std::string vehicle_path = join_path(join_path(chosen, "vehicles"), navigation->vehicle + ".yaml");
    auto vehicle_text = read_text_file(vehicle_path);
    if (!vehicle_text)
        return fail(vehicle_text.error().context(fmt::format(
            "Failed to read vehicle config '{}'. Available vehicles are in {}/vehicles/", vehicle_path, chosen)));
    auto vehicle = parse_ev_config(*vehicle_text);
    if (!vehicle)
        return fail(vehicle.error().context(fmt::format("Failed to parse vehicle config: {}", vehicle_path)));

    return Config{std::move(*database), std::move(navigation->route), std::move(*vehicle)};
}

}  // namespace quorvel_routing
