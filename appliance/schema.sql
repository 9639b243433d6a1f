-- schema.sql: the appliance catalogue (schema "vx") that rpd, its utility
-- mode, the Vault stand-in and the appliance stand-ins work against.
--
-- It holds every table, column, sequence, view and stored function that
-- the daemon's statements touch, with the types those statements need, and
-- seeds the lookup tables as an appliance ships them. Columns carry the
-- defaults an appliance gives a fresh row (zero counters, false flags, NULL
-- texts), so a row can be inserted naming only the columns that matter.
--
-- Numeric columns are BIGINT almost throughout: statements compare them
-- with unsigned values such as 4294967295 (the pseudo tape of logically
-- deleted backups), which an INTEGER column would reject as a parameter.
--
-- The file is loaded in one transaction and can be loaded again: it drops
-- and recreates the schema.

DROP SCHEMA IF EXISTS vx CASCADE;
CREATE SCHEMA vx;
SET search_path = vx, public;

-- ---------------------------------------------------------------------------
-- The appliance itself
-- ---------------------------------------------------------------------------

-- One row: this appliance's installation identity.
CREATE TABLE vx.state (
    install_id      TEXT NOT NULL,
    version         TEXT DEFAULT '1.0',
    install_time    BIGINT NOT NULL DEFAULT 0
);

-- Appliances this one knows: itself (is_local_system) and the replication
-- sources it accepts backups from (role 'Replication Source', with the
-- device that holds their data).
CREATE TABLE vx.systems (
    system_id       BIGSERIAL PRIMARY KEY,
    name            TEXT,
    identity        TEXT,
    role            TEXT,
    is_local_system BOOLEAN NOT NULL DEFAULT FALSE,
    device_no       BIGINT,
    address         TEXT
);

-- Long-running appliance operations (disaster recovery and the like).
CREATE TABLE vx.operation_status (
    operation_id    BIGSERIAL PRIMARY KEY,
    subsystem       TEXT,
    status          TEXT,
    description     TEXT,
    start_time      BIGINT NOT NULL DEFAULT 0
);

-- Storage devices. device_type 128 is a disk (D2D) device; capacity is in
-- KiB; dev_nr_name is the directory that holds the backup files and the
-- single instance store, dev_rw_name the directory for work files.
CREATE TABLE vx.devices (
    device_no       BIGSERIAL PRIMARY KEY,
    dev_name        TEXT,
    dev_rw_name     TEXT,
    dev_nr_name     TEXT,
    device_type     INTEGER NOT NULL DEFAULT 128,
    tape_no         BIGINT NOT NULL DEFAULT 0,
    capacity        BIGINT NOT NULL DEFAULT 0,
    dedup           BOOLEAN NOT NULL DEFAULT FALSE,
    is_deleted      BOOLEAN NOT NULL DEFAULT FALSE,
    is_scsi         BOOLEAN NOT NULL DEFAULT FALSE,
    properties      BIGINT NOT NULL DEFAULT 0
);

-- ---------------------------------------------------------------------------
-- Clients and their applications
-- ---------------------------------------------------------------------------

-- Protected clients. A grandclient (properties bit 32) stands for a client
-- of another appliance whose backups arrive by replication: node_name is
-- then "gc" and a serial from nodes_gclient_seq, gcname the real name.
CREATE TABLE vx.nodes (
    node_no                     BIGSERIAL PRIMARY KEY,
    node_name                   TEXT,
    gcname                      TEXT,
    type                        BIGINT NOT NULL DEFAULT 0,
    os                          BIGINT NOT NULL DEFAULT 0,
    properties                  BIGINT NOT NULL DEFAULT 0,
    priority                    BIGINT NOT NULL DEFAULT 500,
    status                      BIGINT NOT NULL DEFAULT 0,
    vendor                      BIGINT NOT NULL DEFAULT 0,
    last_master                 BIGINT NOT NULL DEFAULT 0,
    last_master_start_time      BIGINT NOT NULL DEFAULT 0,
    last_incremental            BIGINT NOT NULL DEFAULT 0,
    last_incremental_start_time BIGINT NOT NULL DEFAULT 0,
    last_selective              BIGINT NOT NULL DEFAULT 0,
    last_selective_start_time   BIGINT NOT NULL DEFAULT 0,
    last_baremetal              BIGINT NOT NULL DEFAULT 0,
    last_baremetal_start_time   BIGINT NOT NULL DEFAULT 0,
    features                    BIGINT NOT NULL DEFAULT 0,
    fstatus                     BIGINT NOT NULL DEFAULT 0,
    bm_media_test_date          BIGINT NOT NULL DEFAULT 0,
    options                     BIGINT NOT NULL DEFAULT 0,
    system_id                   BIGINT,
    generic_property            BIGINT NOT NULL DEFAULT 0
);
CREATE SEQUENCE vx.nodes_gclient_seq;

-- The applications the appliance protects. "type" is the application's
-- type name that other code compares ("VMware", "NDMP Device", "UCS Service
-- Profile", "System Metadata", ...), "name" its display name.
CREATE TABLE vx.application_lookup (
    app_id          SERIAL PRIMARY KEY,
    name            TEXT,
    type            TEXT
);

CREATE TABLE vx.node_applications (
    node_no         BIGINT NOT NULL,
    app_id          BIGINT NOT NULL,
    PRIMARY KEY (node_no, app_id)
);

-- Application instances: one per protected application of a client
-- (application 1 is the client's file level). identity is the instance's
-- UUID, given when the instance first replicates.
CREATE TABLE vx.application_instances (
    instance_id     BIGSERIAL PRIMARY KEY,
    app_id          BIGINT NOT NULL DEFAULT 1,
    node_no         BIGINT,
    key1            TEXT,
    key2            TEXT,
    key3            TEXT,
    key4            TEXT,
    identity        TEXT,
    priority        BIGINT NOT NULL DEFAULT 0
);
CREATE INDEX application_instances_node ON vx.application_instances (node_no, app_id);

CREATE TABLE vx.application_properties (
    instance_id     BIGINT NOT NULL,
    prop_key        TEXT NOT NULL,
    prop_value      TEXT
);
CREATE INDEX application_properties_instance ON vx.application_properties (instance_id);

CREATE TABLE vx.ndmp_nas (
    node_no         BIGINT NOT NULL,
    address         TEXT,
    port            TEXT,
    vendor          TEXT,
    version         TEXT
);

-- ---------------------------------------------------------------------------
-- Backups
-- ---------------------------------------------------------------------------

CREATE TABLE vx.jobs (
    job_no          BIGSERIAL PRIMARY KEY,
    node_no         BIGINT,
    description     TEXT
);

CREATE TABLE vx.dirs (
    dir_no          BIGSERIAL PRIMARY KEY,
    dname           TEXT NOT NULL
);

-- One row per backup. status bits: 0x40 finished, 0x200 in progress, 0x400
-- done, 0x800 succeeded, 0x4000 finished with warnings, any of 0x9018
-- failed. properties bits used here: 0x1 SDS, 0x20 shared by a restore
-- group, 0x80 SQL (type 4), 0x100 encrypted, 0x200/0x400 hashed, 0x800
-- synthetic, 0x1000 synthesis-capable, 0x4000 received by replication.
-- sync_status: 1 sync needed, 2 sync done. tape_no -1: logically deleted.
CREATE TABLE vx.backups (
    backup_no               BIGSERIAL PRIMARY KEY,
    node_no                 BIGINT,
    instance_id             BIGINT,
    properties              BIGINT NOT NULL DEFAULT 0,
    type                    BIGINT NOT NULL DEFAULT 1,
    start_time              BIGINT NOT NULL DEFAULT 0,
    fileset_no              BIGINT,
    tape_no                 BIGINT NOT NULL DEFAULT 0,
    server_name             TEXT,
    operator_name           TEXT,
    multivolume             BIGINT NOT NULL DEFAULT 0,
    start_dir_no            BIGINT NOT NULL DEFAULT 0,
    status                  BIGINT NOT NULL DEFAULT 0,
    exit_code               BIGINT NOT NULL DEFAULT 0,
    total_megs              BIGINT NOT NULL DEFAULT 0,
    verify_after            BIGINT NOT NULL DEFAULT 0,
    is_verified             BOOLEAN NOT NULL DEFAULT FALSE,
    job_no                  BIGINT,
    pid                     BIGINT NOT NULL DEFAULT 0,
    x_command_short         TEXT,
    sync_status             BIGINT NOT NULL DEFAULT 0,
    attempt_cnt             BIGINT NOT NULL DEFAULT 0,
    elapsed_time            BIGINT NOT NULL DEFAULT 0,
    total_netpaths          BIGINT NOT NULL DEFAULT 0,
    sync_resv               BIGINT NOT NULL DEFAULT 0,
    incomplete              BIGINT NOT NULL DEFAULT 0,
    notbacked               BIGINT NOT NULL DEFAULT 0,
    total_kilo              BIGINT NOT NULL DEFAULT 0,
    blocksize               BIGINT NOT NULL DEFAULT 0,
    lcs_no                  BIGINT NOT NULL DEFAULT 0,
    data_bkno               BIGINT NOT NULL DEFAULT 0,
    all_filesets_present    BOOLEAN NOT NULL DEFAULT FALSE
);
CREATE INDEX backups_instance ON vx.backups (instance_id, start_time);
CREATE INDEX backups_node ON vx.backups (node_no);
CREATE INDEX backups_sync ON vx.backups (sync_status);

-- The data sets of a backup on a device; tape_drive_name is the dev_name
-- of the device that holds the backup.
CREATE TABLE vx.filesets (
    fileset_no          BIGSERIAL PRIMARY KEY,
    tape_no             BIGINT NOT NULL DEFAULT 0,
    backup_no           BIGINT,
    vol_no              BIGINT NOT NULL DEFAULT 1,
    job_no              BIGINT,
    start_time          BIGINT NOT NULL DEFAULT 0,
    server_name         TEXT,
    tape_drive_name     TEXT,
    properties          BIGINT NOT NULL DEFAULT 0,
    data_format         TEXT,
    no_label            BOOLEAN NOT NULL DEFAULT TRUE,
    ssn                 BIGINT NOT NULL DEFAULT 0,
    elapsed_time        BIGINT NOT NULL DEFAULT 0,
    total_megs          BIGINT NOT NULL DEFAULT 0,
    fileset_megs        BIGINT NOT NULL DEFAULT 0,
    total_netpaths      BIGINT NOT NULL DEFAULT 0,
    status              BIGINT NOT NULL DEFAULT 0,
    physical_fsno       BIGINT NOT NULL DEFAULT 0,
    v_koffset           BIGINT NOT NULL DEFAULT 0,
    btotal              BIGINT NOT NULL DEFAULT 0,
    tape_dataset        BIGINT NOT NULL DEFAULT 0,
    is_multiplexed      BOOLEAN NOT NULL DEFAULT FALSE,
    is_encrypted        BOOLEAN NOT NULL DEFAULT FALSE,
    is_compressed       BOOLEAN NOT NULL DEFAULT FALSE,
    scsi_blksize        BIGINT NOT NULL DEFAULT 0,
    os                  BIGINT NOT NULL DEFAULT 0,
    ssn_blocksize       BIGINT NOT NULL DEFAULT 0,
    mux_fileset_no      BIGINT NOT NULL DEFAULT 0,
    import_no           BIGINT NOT NULL DEFAULT 0,
    guid                BIGINT NOT NULL DEFAULT 0,
    device_properties   BIGINT NOT NULL DEFAULT 0
);
CREATE INDEX filesets_backup ON vx.filesets (backup_no);

-- The files of a backup: each file's size and the offset of its header in
-- the backup's archive.
CREATE TABLE vx.backup_files (
    backup_no       BIGINT NOT NULL,
    file_no         BIGSERIAL,
    dir_no          BIGINT NOT NULL DEFAULT 0,
    fname           TEXT,
    size            BIGINT NOT NULL DEFAULT 0,
    blk_offset      BIGINT NOT NULL DEFAULT 0,
    PRIMARY KEY (backup_no, file_no)
);
CREATE INDEX backup_files_offset ON vx.backup_files (backup_no, blk_offset);

CREATE TABLE vx.backup_msg (
    backup_no       BIGINT PRIMARY KEY,
    messages        TEXT NOT NULL DEFAULT '',
    comment         TEXT NOT NULL DEFAULT ''
);

CREATE TABLE vx.backup_snapshots (
    backup_no       BIGINT PRIMARY KEY,
    snapshot_time   BIGINT
);

CREATE TABLE vx.vmware_snapshots (
    backup_no       BIGINT NOT NULL,
    change_id       TEXT
);
CREATE INDEX vmware_snapshots_backup ON vx.vmware_snapshots (backup_no);

CREATE TABLE vx.vmware_hardware_hashes (
    backup_no       BIGINT NOT NULL,
    hardware_hash   TEXT
);
CREATE INDEX vmware_hardware_hashes_backup ON vx.vmware_hardware_hashes (backup_no);

-- SQL Server backups of the older kind (type 4, properties 0x80): sql_ref
-- is the backup number; sql_type 1 full, 2 differential, 3 log.
CREATE TABLE vx.sql_backups (
    sql_ref                 BIGINT PRIMARY KEY,
    node_no                 BIGINT,
    sql_type                INTEGER NOT NULL DEFAULT 1,
    server_instance_name    TEXT,
    database_name           TEXT,
    group_file_order        INTEGER NOT NULL DEFAULT 0,
    file_order_no           INTEGER NOT NULL DEFAULT 0
);

-- Backups whose data is complete and usable: finished, without a failure
-- bit, not in progress and not logically deleted.
CREATE VIEW vx.successful_backups AS
    SELECT *
      FROM vx.backups
     WHERE (status & 64) <> 0
       AND (status & 36888) = 0
       AND (status & 512) = 0
       AND tape_no <> -1;

-- ---------------------------------------------------------------------------
-- Deduplication index, generation 0
-- ---------------------------------------------------------------------------

-- One row per distinct block: its hash and where its data lives in the
-- single instance store (sis_offset NULL while the data is only in a
-- backup file).
CREATE TABLE vx.hash_values (
    hash_id             BIGSERIAL PRIMARY KEY,
    hash_type           TEXT,
    hashed_length       BIGINT,
    hash_value          BYTEA,
    sis_offset          BIGINT,
    compressed_length   BIGINT
);
CREATE INDEX hash_values_hash ON vx.hash_values (hash_type, hashed_length, hash_value);

-- One row per block of a backup, by file offset. hash_id NULL: not hashed;
-- deduplicated NULL: the data is still in the backup file; hash_incomplete
-- rows are ignored by every reader.
CREATE TABLE vx.backups_hash_values (
    backup_no           BIGINT NOT NULL,
    file_offset         BIGINT NOT NULL,
    hash_id             BIGINT,
    deduplicated        BOOLEAN,
    hash_incomplete     BOOLEAN NOT NULL DEFAULT FALSE
);
CREATE INDEX backups_hash_values_backup ON vx.backups_hash_values (backup_no, file_offset);
CREATE INDEX backups_hash_values_hash ON vx.backups_hash_values (hash_id, backup_no);

-- ---------------------------------------------------------------------------
-- Replication
-- ---------------------------------------------------------------------------

-- The replication queue. The appliance ships it (with rep_start, the time a
-- worker took the entry); "rpd util createqueue" makes the same table, minus
-- rep_start, on a catalogue that lacks it, and fails where it exists.
CREATE TABLE vx.replication_queue (
    backup_no       BIGINT REFERENCES vx.backups (backup_no) ON DELETE CASCADE,
    vault           TEXT,
    position        SERIAL,
    status          INTEGER,
    rep_start       BIGINT
);
CREATE INDEX replication_queue_backup ON vx.replication_queue (backup_no, vault);
CREATE INDEX replication_queue_position ON vx.replication_queue (status, position);

CREATE TABLE vx.sync_type (
    type_id         INTEGER PRIMARY KEY,
    type_name       TEXT NOT NULL UNIQUE
);

-- One row per finished (or failed) replication attempt.
CREATE TABLE vx.sds_stats (
    stat_id             BIGSERIAL PRIMARY KEY,
    client_name         TEXT,
    backup_no           BIGINT,
    sync_type           INTEGER,
    presync_seconds     BIGINT NOT NULL DEFAULT 0,
    sync_seconds        BIGINT NOT NULL DEFAULT 0,
    postsync_seconds    BIGINT NOT NULL DEFAULT 0,
    done_epoch          BIGINT NOT NULL DEFAULT 0,
    bytes_on_qru        BIGINT NOT NULL DEFAULT 0,
    bytes_syncd         BIGINT NOT NULL DEFAULT 0,
    bytes_on_qrv        BIGINT NOT NULL DEFAULT 0,
    message             TEXT,
    destination         TEXT
);

-- Names of the operations whose progress the user interface shows.
CREATE TABLE vx.operation_names (
    name_id         INTEGER PRIMARY KEY,
    name_value      TEXT NOT NULL
);

-- Progress of running operations; sizes in MiB, times in seconds.
CREATE TABLE vx.operation_progress (
    progress_id     BIGSERIAL PRIMARY KEY,
    name_id         INTEGER,
    start_time      BIGINT NOT NULL DEFAULT 0,
    snapshot_time   BIGINT NOT NULL DEFAULT 0,
    final_size      BIGINT NOT NULL DEFAULT 0,
    current_size    BIGINT NOT NULL DEFAULT 0,
    pid_to_kill     INTEGER NOT NULL DEFAULT 0,
    on_behalf_of    TEXT,
    source          TEXT,
    destination     TEXT,
    backup_no       BIGINT,
    backup_type     TEXT
);

-- Daily totals per operation kind for the dashboard's charts.
CREATE TABLE vx.summary_charts (
    operation       TEXT NOT NULL,
    day             DATE NOT NULL,
    operations      BIGINT NOT NULL DEFAULT 0,
    read_size       NUMERIC NOT NULL DEFAULT 0,
    write_size      NUMERIC NOT NULL DEFAULT 0,
    read_time       NUMERIC NOT NULL DEFAULT 0,
    write_time      NUMERIC NOT NULL DEFAULT 0,
    PRIMARY KEY (operation, day)
);

-- ---------------------------------------------------------------------------
-- Stored functions
-- ---------------------------------------------------------------------------

-- update_summary_charts(operation, read bytes, written bytes, read seconds,
-- write seconds): adds one operation to today's totals of its kind and
-- returns the number of operations of that kind today. Sizes are NUMERIC so
-- that unsigned 64-bit values from the caller always fit.
CREATE FUNCTION vx.update_summary_charts(op TEXT, rsize NUMERIC, wsize NUMERIC,
                                         rtime NUMERIC, wtime NUMERIC)
RETURNS BIGINT
LANGUAGE plpgsql AS $$
DECLARE
    n BIGINT;
BEGIN
    IF op IS NULL OR op = '' THEN
        RAISE EXCEPTION 'update_summary_charts: operation name required';
    END IF;
    INSERT INTO vx.summary_charts AS s (operation, day, operations, read_size,
                                         write_size, read_time, write_time)
    VALUES (op, current_date, 1, COALESCE(rsize, 0), COALESCE(wsize, 0),
            COALESCE(rtime, 0), COALESCE(wtime, 0))
    ON CONFLICT (operation, day) DO UPDATE
       SET operations = s.operations + 1,
           read_size  = s.read_size + EXCLUDED.read_size,
           write_size = s.write_size + EXCLUDED.write_size,
           read_time  = s.read_time + EXCLUDED.read_time,
           write_time = s.write_time + EXCLUDED.write_time
    RETURNING s.operations INTO n;
    RETURN n;
END
$$;

-- The chain roles of backup types: each application family has a full
-- type, an optional differential type (depends on the latest full) and an
-- incremental type (depends on the full and every incremental since the
-- latest differential or full). Types without a family (selective 4, bare
-- metal 1024, system metadata 1038, ...) stand alone. The two-type families
-- (Oracle, SharePoint) are read as full and incremental, so that a group
-- never misses a backup its last member may depend on.
CREATE FUNCTION vx.backup_chain_family(t BIGINT,
                                       OUT full_type BIGINT,
                                       OUT diff_type BIGINT,
                                       OUT incr_type BIGINT)
LANGUAGE sql IMMUTABLE AS $$
    SELECT f.full_type, f.diff_type, f.incr_type
      FROM (VALUES (1::BIGINT, 2::BIGINT, 3::BIGINT),
                   (5, 6, 7),
                   (9, 10, 11),
                   (12, 13, 14),
                   (1031, 1032, 1033),
                   (1034, NULL, 1035),
                   (1036, NULL, 1037),
                   (1039, 4096, 4097),
                   (4098, 4099, 4100)) AS f (full_type, diff_type, incr_type)
     WHERE t IN (f.full_type, f.diff_type, f.incr_type)
$$;

-- vxGetRestoreGroupOptimized(backup, types, filter): the restore group of a
-- backup: the backups that must be restored, in this order, to restore it.
--
-- Candidates are the backups of the same client (node_no) and application
-- instance (instance_id) as the requested one, that started no later than
-- it (start time, then backup number), whose type is in `types` or is the
-- full type of the requested backup's family, that are not logically
-- deleted (tape_no -1; the caller's filter compares tape_no with the
-- unsigned 4294967295, which never matches -1), and that satisfy `filter`,
-- an SQL condition on the columns of backups (for example
-- " (properties & 32) = 0 AND (status & 64) > 0").
--
-- Walking the candidates in restore order (start time, backup number), a
-- full backup starts a new chain, a differential keeps only the chain's full
-- and follows it, an incremental follows whatever is in the chain. The
-- group is the chain when the walk reaches the requested backup; a
-- stand-alone type, or a full, is a group of its own. When the requested
-- backup itself is not a candidate (filtered out, or its type is not in
-- `types`) the group is empty.
CREATE FUNCTION vx.vxGetRestoreGroupOptimized(backup BIGINT, types INTEGER[], filter TEXT)
RETURNS TABLE (t_backup_no BIGINT, t_status BIGINT, t_exit_code BIGINT,
               t_type BIGINT, t_start_time BIGINT)
LANGUAGE plpgsql STABLE AS $$
DECLARE
    req         vx.backups%ROWTYPE;
    fam         RECORD;
    cand        RECORD;
    chain       BIGINT[] := '{}';
    chain_full  BOOLEAN := FALSE;
    allowed     BIGINT[];
    cond        TEXT;
    reached     BOOLEAN := FALSE;
BEGIN
    SELECT * INTO req FROM vx.backups b WHERE b.backup_no = backup;
    IF NOT FOUND THEN
        RETURN;
    END IF;
    SELECT * INTO fam FROM vx.backup_chain_family(req.type);
    allowed := types::BIGINT[];
    IF fam.full_type IS NOT NULL THEN
        allowed := allowed || fam.full_type;
    END IF;
    cond := COALESCE(NULLIF(btrim(filter), ''), 'TRUE');

    FOR cand IN EXECUTE format(
        'SELECT backup_no, type FROM vx.backups'
        ' WHERE node_no IS NOT DISTINCT FROM $1'
        '   AND instance_id IS NOT DISTINCT FROM $2'
        '   AND type = ANY ($3)'
        '   AND tape_no <> -1'
        '   AND (start_time, backup_no) <= ($4, $5)'
        '   AND (%s)'
        ' ORDER BY start_time, backup_no', cond)
        USING req.node_no, req.instance_id, allowed, req.start_time, req.backup_no
    LOOP
        IF fam.full_type IS NULL OR cand.type = fam.full_type THEN
            chain := ARRAY[cand.backup_no];
            chain_full := TRUE;
        ELSIF cand.type = fam.diff_type THEN
            IF chain_full THEN
                chain := ARRAY[chain[1], cand.backup_no];
            ELSE
                chain := ARRAY[cand.backup_no];
            END IF;
        ELSE
            chain := chain || cand.backup_no;
        END IF;
        IF cand.backup_no = req.backup_no THEN
            reached := TRUE;
        END IF;
    END LOOP;

    IF NOT reached THEN
        RETURN;
    END IF;
    IF fam.full_type IS NULL THEN
        chain := ARRAY[req.backup_no];
    END IF;
    RETURN QUERY
        SELECT b.backup_no, b.status, b.exit_code, b.type, b.start_time
          FROM vx.backups b
         WHERE b.backup_no = ANY (chain)
         ORDER BY array_position(chain, b.backup_no);
END
$$;

-- ---------------------------------------------------------------------------
-- What an appliance ships with
-- ---------------------------------------------------------------------------

-- A fresh installation identity and the local system. Every database
-- cloned from this one shares them; a test that plays two appliances gives
-- one of them a new identity.
INSERT INTO vx.state (install_id, install_time)
VALUES (gen_random_uuid()::TEXT, extract(epoch FROM now())::BIGINT);
INSERT INTO vx.systems (system_id, name, identity, role, is_local_system)
VALUES (1, 'appliance', NULL, 'Local', TRUE);
SELECT setval('vx.systems_system_id_seq', 1);

INSERT INTO vx.application_lookup (app_id, name, type) VALUES
    (1,  'Files and Folders',    'File Level'),
    (2,  'Microsoft Exchange',   'Exchange'),
    (3,  'Microsoft SQL Server', 'SQL Server'),
    (4,  'VMware ESX',           'VMware'),
    (5,  'Microsoft Hyper-V',    'Hyper-V'),
    (6,  'Oracle',               'Oracle'),
    (7,  'Microsoft SharePoint', 'SharePoint'),
    (8,  'NDMP',                 'NDMP Device'),
    (9,  'System Metadata',      'System Metadata'),
    (10, 'UCS Service Profile',  'UCS Service Profile');
SELECT setval('vx.application_lookup_app_id_seq', 10);

INSERT INTO vx.sync_type (type_id, type_name) VALUES
    (1, 'replication'),
    (2, 'archive'),
    (3, 'import');

-- The appliance's own operations and the replication phases that
-- "rpd util createtypes" adds (6 to 9). The worker's "processing" and
-- "no_activity" phases have no name here, as on a shipped appliance: their
-- progress rows carry a NULL name_id.
INSERT INTO vx.operation_names (name_id, name_value) VALUES
    (1, 'backup'),
    (2, 'restore'),
    (3, 'verify'),
    (4, 'archive'),
    (5, 'purge'),
    (6, 'prepare'),
    (7, 'replicate'),
    (8, 'wait'),
    (9, 'rebuild');

-- The start directory of imported backups.
INSERT INTO vx.dirs (dname) VALUES ('@@@:/');
