package skyfetcher;

import java.io.IOException;
import java.net.URI;
import java.nio.channels.FileChannel;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardCopyOption;
import java.nio.file.StandardOpenOption;
import java.time.Instant;
import java.util.Arrays;
import java.util.Map;

/**
 * The trusted metadata and the update workflow that advances it: root
 * rotation, then timestamp, snapshot and targets, each checked against what
 * was trusted before, so a mirror can never move this machine backwards
 * (rollback), keep it on old data past the expiry times (freeze), combine
 * files from different publications (mix-and-match), or feed it more bytes
 * than announced (endless data).
 *
 * Calling order: {@link #open} once, {@link #refresh} for a mirror (again
 * for the next mirror after a failure: what was verified and persisted
 * stays trusted), then {@link #targets}. Every trusted file is persisted in
 * state/metadata by temporary file, flush and rename, so a crash leaves the
 * old or the new file, never a mix. One reference time is used for every
 * expiry check of the run.
 */
public final class Trust {
    static final long ROOT_CAP = 512 * 1024;
    static final long TIMESTAMP_CAP = 16 * 1024;
    static final long SNAPSHOT_CAP = 2 * 1024 * 1024;
    static final long TARGETS_CAP = 5 * 1024 * 1024;
    static final int MAX_ROOT_ROTATIONS = 256;

    private final Path dir;
    private final Instant now;
    private final Http http;
    private final Log log;
    private Metadata.Root root;
    private Metadata timestamp, snapshot, targets;

    private Trust(Path dir, Instant now, Http http, Log log) {
        this.dir = dir;
        this.now = now;
        this.http = http;
        this.log = log;
    }

    /**
     * Loads the trusted state from stateDir/metadata, starting from the
     * shipped root when there is none yet. A damaged trusted root is an
     * error rather than a reason to fall back to the shipped one, which may
     * hold keys that were rotated out since.
     */
    public static Trust open(Path stateDir, Path shippedRoot, Instant now, Http http, Log log) throws Failure {
        Path dir = stateDir.resolve("metadata");
        try {
            Files.createDirectories(dir);
        } catch (IOException e) {
            throw Failure.local("cannot create " + dir + ": " + e.getMessage());
        }
        Trust t = new Trust(dir, now, http, log);
        Path local = dir.resolve("root.json");
        boolean haveLocal = Files.exists(local);
        byte[] raw = read(haveLocal ? local : shippedRoot);
        if (raw == null)
            throw Failure.config("cannot read the trusted root " + shippedRoot);
        try {
            Metadata m = Metadata.parse(raw, "root");
            Metadata.Root r = new Metadata.Root(m);
            m.checkSignatures(r, "root");
            t.root = r;
        } catch (Failure f) {
            String where = haveLocal ? local + " (remove it to start again from the shipped root)" : shippedRoot.toString();
            throw new Failure(haveLocal ? Failure.Kind.LOCAL : Failure.Kind.CONFIG,
                              "the trusted root " + where + " is unusable: " + f.getMessage());
        }
        if (!haveLocal)
            t.persist("root.json", raw);
        t.timestamp = t.loadTrusted("timestamp");
        t.snapshot = t.loadTrusted("snapshot");
        t.targets = t.loadTrusted("targets");
        return t;
    }

    /** A trusted file that still verifies under the current root, or null. */
    private Metadata loadTrusted(String role) {
        byte[] raw = read(dir.resolve(role + ".json"));
        if (raw == null)
            return null;
        try {
            Metadata m = Metadata.parse(raw, role);
            m.checkSignatures(root, role);
            return m;
        } catch (Failure f) {
            log.step("ignoring the stored " + role + " metadata: " + f.getMessage());
            return null;
        }
    }

    public long rootVersion() {
        return root.metadata.version;
    }

    /** Brings the trusted metadata up to date from one mirror; throws on anything it refuses. */
    public void refresh(URI mirror) throws Failure {
        updateRoot(mirror);
        updateTimestamp(mirror);
        snapshot = updateFromMeta(mirror, timestamp, "snapshot.json", "snapshot", SNAPSHOT_CAP, snapshot);
        targets = updateFromMeta(mirror, snapshot, "targets.json", "targets", TARGETS_CAP, targets);
    }

    /** The verified targets; only valid after a successful refresh. */
    public Map<String, Metadata.Target> targets() throws Failure {
        return targets.targets();
    }

    private void updateRoot(URI mirror) throws Failure {
        Metadata.Root start = root;
        for (int i = 0; i < MAX_ROOT_ROTATIONS; ++i) {
            long next = root.metadata.version + 1;
            byte[] raw;
            try {
                raw = http.fetchSmall(mirror.resolve("metadata/" + next + ".root.json"), ROOT_CAP);
            } catch (Http.Missing e) {
                break;
            }
            Metadata m = Metadata.parse(raw, "root");
            m.checkSignatures(root, "root");
            Metadata.Root newRoot = new Metadata.Root(m);
            m.checkSignatures(newRoot, "root");
            if (m.version != next)
                throw Failure.verification(next + ".root.json has version " + m.version);
            persist("root.json", raw);
            root = newRoot;
            log.step("trusted root rotated to version " + next);
        }
        if (root.metadata.isExpiredAt(now))
            throw Failure.verification("the trusted root (version " + root.metadata.version + ") expired at "
                                       + root.metadata.expires);
        // New online keys: what the old keys signed says nothing any more,
        // and keeping it would block recovery from a fast-forward attack.
        if (!root.role("timestamp").sameAs(start.role("timestamp"))
            || !root.role("snapshot").sameAs(start.role("snapshot"))) {
            timestamp = null;
            snapshot = null;
            forget("timestamp");
            forget("snapshot");
        }
    }

    private void updateTimestamp(URI mirror) throws Failure {
        byte[] raw;
        try {
            raw = http.fetchSmall(mirror.resolve("metadata/timestamp.json"), TIMESTAMP_CAP);
        } catch (Http.Missing e) {
            throw Failure.network(e.getMessage());
        }
        Metadata m = Metadata.parse(raw, "timestamp");
        m.checkSignatures(root, "timestamp");
        Metadata.FileInfo snap = m.meta("snapshot.json");
        if (timestamp != null) {
            if (m.version < timestamp.version)
                throw Failure.verification("timestamp version " + m.version + " is older than the trusted "
                                           + timestamp.version + " (rollback)");
            if (m.version == timestamp.version && !Arrays.equals(raw, timestamp.raw))
                throw Failure.verification("timestamp version " + m.version + " differs from the trusted one");
            if (snap.version < timestamp.meta("snapshot.json").version)
                throw Failure.verification("timestamp names snapshot version " + snap.version
                                           + ", older than the trusted one (rollback)");
        }
        if (m.isExpiredAt(now))
            throw Failure.verification("timestamp version " + m.version + " expired at " + m.expires + " (freeze)");
        if (timestamp == null || m.version != timestamp.version)
            persist("timestamp.json", raw);
        timestamp = m;
        log.debug("timestamp version " + m.version + ", snapshot version " + snap.version);
    }

    /**
     * Snapshot from the timestamp's record, or targets from the snapshot's:
     * the stored copy when it is the recorded file, else the recorded
     * version fetched from the mirror, at most its recorded length.
     */
    private Metadata updateFromMeta(URI mirror, Metadata parent, String name, String role, long cap,
                                    Metadata trusted) throws Failure {
        Metadata.FileInfo info = parent.meta(name);
        if (info.length > cap)
            throw Failure.verification(parent.type + " records " + name + " of " + info.length
                                       + " bytes, more than the " + cap + " allowed");
        byte[] raw = trusted != null ? trusted.raw : null;
        if (raw == null || raw.length != info.length || !Hashes.equal(Hashes.sha256(raw), info.sha256)) {
            try {
                raw = http.fetchSmall(mirror.resolve("metadata/" + info.version + "." + name), info.length);
            } catch (Http.Missing e) {
                throw Failure.network(e.getMessage());
            }
            if (raw.length != info.length || !Hashes.equal(Hashes.sha256(raw), info.sha256))
                throw Failure.verification(info.version + "." + name + " does not match the length and hash in "
                                           + parent.type);
        }
        Metadata m = Metadata.parse(raw, role);
        m.checkSignatures(root, role);
        if (m.version != info.version)
            throw Failure.verification(info.version + "." + name + " has version " + m.version + " (mix-and-match)");
        if (role.equals("snapshot") && trusted != null
            && m.meta("targets.json").version < trusted.meta("targets.json").version)
            throw Failure.verification("snapshot names an older targets version than the trusted one (rollback)");
        if (m.isExpiredAt(now))
            throw Failure.verification(role + " version " + m.version + " expired at " + m.expires + " (freeze)");
        if (trusted == null || !Arrays.equals(raw, trusted.raw))
            persist(role + ".json", raw);
        log.debug(role + " version " + m.version);
        return m;
    }

    private static byte[] read(Path p) {
        try {
            return Files.readAllBytes(p);
        } catch (IOException e) {
            return null;
        }
    }

    private void forget(String role) throws Failure {
        try {
            Files.deleteIfExists(dir.resolve(role + ".json"));
        } catch (IOException e) {
            throw Failure.local("cannot delete the stored " + role + ": " + e.getMessage());
        }
    }

    /** Temporary file, flushed, renamed over the old one, directory flushed. */
    private void persist(String name, byte[] raw) throws Failure {
        Path tmp = dir.resolve("." + name + ".tmp");
        try {
            try (FileChannel out = FileChannel.open(tmp, StandardOpenOption.CREATE, StandardOpenOption.WRITE,
                                                    StandardOpenOption.TRUNCATE_EXISTING)) {
                out.write(java.nio.ByteBuffer.wrap(raw));
                out.force(true);
            }
            Files.move(tmp, dir.resolve(name), StandardCopyOption.ATOMIC_MOVE, StandardCopyOption.REPLACE_EXISTING);
            try (FileChannel d = FileChannel.open(dir, StandardOpenOption.READ)) {
                d.force(true);
            }
        } catch (IOException e) {
            throw Failure.local("cannot store " + name + " in " + dir + ": " + e.getMessage());
        }
    }
}
