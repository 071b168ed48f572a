-- Tables and views route-calculator reads. gravix-import fills them from OpenStreetMap data.
-- Safe to run again on a database that has them already: nothing existing is dropped.
-- Coordinates are WGS 84 degrees; every geometry is in SRID 4326.

CREATE EXTENSION IF NOT EXISTS postgis;

-- Every OSM node a routing edge or a road segment refers to.
CREATE TABLE IF NOT EXISTS nodes (
    id        bigint PRIMARY KEY,                  -- OSM node id
    lat       double precision NOT NULL,           -- degrees
    lon       double precision NOT NULL,           -- degrees
    geometry  geometry(Point, 4326) NOT NULL       -- the same position, for envelope filters
);
CREATE INDEX IF NOT EXISTS nodes_geometry_idx ON nodes USING gist (geometry);

-- Directed routing edges between consecutive nodes of a routable way: a two-way street gives
-- one row per direction, a one-way street one row. No foreign keys, so the importer can load
-- edges before or after their nodes; queries join on node ids.
CREATE TABLE IF NOT EXISTS routing_edges (
    id                bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
    from_node         bigint NOT NULL,             -- nodes.id where the edge starts
    to_node           bigint NOT NULL,             -- nodes.id where it ends
    way_id            bigint,                      -- OSM way the edge belongs to
    distance_m        real NOT NULL,               -- length, metres
    highway_type      text,                        -- OSM highway value, e.g. 'motorway'
    speed_limit_kmh   smallint,                    -- posted limit (maxspeed), km/h
    is_toll           boolean NOT NULL DEFAULT false,
    surface           text,                        -- OSM surface value
    country_code      text,                        -- country the edge lies in, e.g. 'CH'
    from_elevation_m  real,                        -- elevation at from_node, metres
    to_elevation_m    real                         -- elevation at to_node, metres
);
CREATE INDEX IF NOT EXISTS routing_edges_from_node_idx ON routing_edges (from_node);
CREATE INDEX IF NOT EXISTS routing_edges_to_node_idx ON routing_edges (to_node);

-- One row per OSM road way, with its whole line.
CREATE TABLE IF NOT EXISTS road_segments (
    id            bigint PRIMARY KEY,              -- OSM way id
    highway_type  text,                            -- OSM highway value
    geometry      geometry(LineString, 4326) NOT NULL
);
CREATE INDEX IF NOT EXISTS road_segments_geometry_idx ON road_segments USING gist (geometry);

-- The nodes each way passes, in order; a closed way lists its first node again at the end.
-- Holds the node lists of every imported way, not only of the road segments.
CREATE TABLE IF NOT EXISTS way_nodes (
    way_id       bigint NOT NULL,                  -- OSM way id
    sequence_id  integer NOT NULL,                 -- position of the node in the way, from 0
    node_id      bigint NOT NULL,                  -- OSM node id
    PRIMARY KEY (way_id, sequence_id)
);
CREATE INDEX IF NOT EXISTS way_nodes_node_id_idx ON way_nodes (node_id);

-- Public charging stations.
CREATE TABLE IF NOT EXISTS charging_stations (
    id          bigint PRIMARY KEY,                -- station id (from the source)
    source      text NOT NULL,                     -- data source of the row, e.g. 'osm'
    lat         double precision NOT NULL,         -- degrees
    lon         double precision NOT NULL,         -- degrees
    power_kw    real,                              -- highest charging power, kW
    operator    text,
    network     text,
    plug_types  text,                              -- comma-separated plug names, e.g. 'Type2,CCS'
    is_fast_ac  boolean NOT NULL DEFAULT false,    -- AC charging at 19 kW or more
    is_fast_dc  boolean NOT NULL DEFAULT false,    -- DC charging at 50 kW or more
    geometry    geometry(Point, 4326) NOT NULL
);
CREATE INDEX IF NOT EXISTS charging_stations_geometry_idx ON charging_stations USING gist (geometry);

-- Things a route end may be searched by: address points (addr:* tags), places, shops and other
-- points of interest, charging stations. Any text column may be NULL.
CREATE TABLE IF NOT EXISTS address_points (
    id           bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
    osm_type     text,                             -- 'node', 'way' or 'relation'
    osm_id       bigint,
    lat          double precision NOT NULL,        -- degrees (a way's or relation's centre)
    lon          double precision NOT NULL,        -- degrees
    name         text,
    street       text,                             -- addr:street
    housenumber  text,                             -- addr:housenumber
    city         text,                             -- addr:city, or the place's own name
    postcode     text,                             -- addr:postcode
    category     text,                             -- what it is, e.g. 'supermarket', 'town', 'charging_station'
    brand        text,
    operator     text,
    country      text,                             -- addr:country
    geometry     geometry(Point, 4326) NOT NULL
);
CREATE INDEX IF NOT EXISTS address_points_geometry_idx ON address_points USING gist (geometry);

-- The address search reads this view only.
CREATE OR REPLACE VIEW addresses AS
SELECT id, osm_type, osm_id, lat, lon, name, street, housenumber, city, postcode,
       category, brand, operator, country, geometry
FROM address_points;
