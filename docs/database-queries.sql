-- Example queries over the QST Archiver database copy (qst-cli db set / db sync).
-- Times are local wall-clock time as the calculators keep them ("timestamp", no zone).
-- In Grafana (PostgreSQL data source) replace the fixed periods by the dashboard's range:
--   WHERE $__timeFilter(d.time)   and select the time column as "time".
-- Each query starts with a "-- query:" line; tests/db runs every one against a test database.
-- Record tables are keyed by serial, time and node: join them to meters on (node, serial),
-- since two pollers may hold one serial.

-- query: last-answer
-- When each meter last answered (its newest current reading or archive record) and
-- how long ago, newest silence first. One row per meter and poller node.
SELECT m.node,
       m.serial,
       m.name,
       m.group_path,
       greatest(c.last_reading, h.last_hour) AS last_answer,
       date_trunc('second', localtimestamp - greatest(c.last_reading, h.last_hour)) AS silent_for
FROM meters m
LEFT JOIN (SELECT node, serial, max(time) AS last_reading FROM current_history GROUP BY node, serial) c USING (node, serial)
LEFT JOIN (SELECT node, serial, max(time) AS last_hour FROM hourly GROUP BY node, serial) h USING (node, serial)
ORDER BY last_answer NULLS FIRST, m.node, m.serial;

-- query: daily-heat
-- Heat supplied per consumer and day over the last 31 days, Gcal (heat systems 1 and 2
-- and their sum), from the daily archive.
SELECT d.time::date AS day,
       m.name AS consumer,
       d.serial,
       d.q1 AS heat1_gcal,
       d.q2 AS heat2_gcal,
       d.q1 + d.q2 AS heat_gcal
FROM daily d
JOIN meters m USING (node, serial)
WHERE d.time >= localtimestamp - interval '31 days'
ORDER BY day, consumer;

-- query: missing-hours
-- Hours missing from the hourly archive between each meter's first and last stored hour
-- of the last 31 days (what "qst-cli gaps" reports, over every meter at once).
SELECT s.serial,
       g.hour AS missing_hour
FROM (SELECT node, serial, min(time) AS first_hour, max(time) AS last_hour
      FROM hourly
      WHERE time >= localtimestamp - interval '31 days'
      GROUP BY node, serial) s
CROSS JOIN LATERAL generate_series(s.first_hour, s.last_hour, interval '1 hour') AS g(hour)
WHERE NOT EXISTS (SELECT 1 FROM hourly h WHERE h.node = s.node AND h.serial = s.serial AND h.time = g.hour)
ORDER BY s.serial, s.node, g.hour;

-- query: hourly-series
-- A Grafana time series: supply and return temperature and heat per hour of one meter.
SELECT time, t1 AS supply_c, t2 AS return_c, q1 AS heat_gcal
FROM hourly
WHERE serial = 4711 AND time >= localtimestamp - interval '7 days'
ORDER BY time;
