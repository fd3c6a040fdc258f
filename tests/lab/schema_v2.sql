-- A lab database as looptest made it with runs known by their own identity (schema 2): two
-- cards, four headless runs and a diagnosis, dumped by sqlite3 as the program left it. Its rows of
-- run_relays are joined sixteen to an INSERT; nothing else is changed.
PRAGMA foreign_keys=OFF;
BEGIN TRANSACTION;
CREATE TABLE looptest_schema (version INTEGER NOT NULL);
INSERT INTO looptest_schema VALUES(1);
INSERT INTO looptest_schema VALUES(2);
CREATE TABLE cards (id TEXT PRIMARY KEY, first_seen TEXT NOT NULL);
INSERT INTO cards VALUES('LT-80','2026-12-09T12:00:22.700Z');
INSERT INTO cards VALUES('LT-81','2026-12-09T12:00:31.156Z');
CREATE TABLE runs (id INTEGER PRIMARY KEY, card TEXT NOT NULL REFERENCES cards(id), host TEXT NOT NULL, device TEXT NOT NULL, started TEXT NOT NULL, ended TEXT, ending TEXT NOT NULL, verdict TEXT NOT NULL, loops BIGINT NOT NULL, errors BIGINT NOT NULL, log TEXT NOT NULL, uid TEXT);
INSERT INTO runs VALUES(1,'LT-80','vm','Loop-back simulator (no card needed)','2026-12-09T12:00:22.688Z','2026-12-09T12:00:23.094Z','ended','pass',20,0,'','7706ac29-b8f0-49a2-a709-480608f6d9c6');
INSERT INTO runs VALUES(2,'LT-80','vm','sim:slow=4,7','2026-12-09T12:00:23.168Z','2026-12-09T12:00:25.804Z','diagnosed','pass',0,0,'','506f8442-e5a2-4931-a182-610948cc45bf');
INSERT INTO runs VALUES(3,'LT-80','vm','Loop-back simulator (no card needed)','2026-12-09T12:00:30.490Z','2026-12-09T12:00:31.096Z','ended','pass',30,0,'','f9a3e31d-bd16-438a-90d9-fed85a966203');
INSERT INTO runs VALUES(4,'LT-81','vm','Loop-back simulator (no card needed)','2026-12-09T12:00:31.152Z','2026-12-09T12:00:31.258Z','ended','pass',5,0,'','f1f90b1c-8dd3-4d3c-b6d2-33e885011498');
INSERT INTO runs VALUES(5,'LT-80','vm','Loop-back simulator (no card needed)','2026-12-09T12:00:35.598Z','2026-12-09T12:00:36.205Z','ended','fail',30,2,'','30e9b51a-2a5c-4bb2-88d1-635f08321263');
CREATE TABLE run_relays (run BIGINT NOT NULL REFERENCES runs(id), relay INTEGER NOT NULL, closings BIGINT NOT NULL, errors BIGINT NOT NULL, PRIMARY KEY (run, relay));
INSERT INTO run_relays VALUES(1,0,2,0),(1,1,2,0),(1,2,2,0),(1,3,2,0),(1,4,1,0),(1,5,1,0),(1,6,1,0),(1,7,1,0),(1,8,1,0),(1,9,1,0),(1,10,1,0),(1,11,1,0),(1,12,1,0),(1,13,1,0),(1,14,1,0),(1,15,1,0);
INSERT INTO run_relays VALUES(2,0,9,0),(2,1,12,0),(2,2,12,0),(2,3,12,0),(2,4,12,0),(2,5,12,0),(2,6,12,0),(2,7,12,0),(2,8,12,0),(2,9,12,0),(2,10,12,0),(2,11,12,0),(2,12,12,0),(2,13,12,0),(2,14,12,0),(2,15,9,0);
INSERT INTO run_relays VALUES(3,0,2,0),(3,1,2,0),(3,2,2,0),(3,3,2,0),(3,4,2,0),(3,5,2,0),(3,6,2,0),(3,7,2,0),(3,8,2,0),(3,9,2,0),(3,10,2,0),(3,11,2,0),(3,12,2,0),(3,13,2,0),(3,14,1,0),(3,15,1,0);
INSERT INTO run_relays VALUES(4,0,1,0),(4,1,1,0),(4,2,1,0),(4,3,1,0),(4,4,1,0),(4,5,0,0),(4,6,0,0),(4,7,0,0),(4,8,0,0),(4,9,0,0),(4,10,0,0),(4,11,0,0),(4,12,0,0),(4,13,0,0),(4,14,0,0),(4,15,0,0);
INSERT INTO run_relays VALUES(5,0,2,0),(5,1,2,0),(5,2,2,0),(5,3,2,0),(5,4,2,0),(5,5,2,2),(5,6,2,0),(5,7,2,0),(5,8,2,0),(5,9,2,0),(5,10,2,0),(5,11,2,0),(5,12,2,0),(5,13,2,0),(5,14,1,0),(5,15,1,0);
CREATE INDEX runs_by_card ON runs (card, started);
CREATE UNIQUE INDEX runs_by_uid ON runs (uid);
COMMIT;
