package skyfetcher;

import static org.junit.jupiter.api.Assertions.*;

import java.io.*;
import java.nio.file.*;
import java.security.*;
import java.time.Instant;
import java.time.temporal.ChronoUnit;
import java.util.*;
import java.util.concurrent.Callable;
import java.util.function.*;
import java.util.stream.Stream;
import org.junit.jupiter.api.*;
import org.junit.jupiter.api.io.TempDir;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.*;

class TrustTest {
    static final List<String> ROLES = List.of("root", "timestamp", "snapshot", "targets");
    @TempDir
    Path tmp;
    MirrorBuilder mirror;
    TestServer server;
    Http http;
    Log log = new Log(new PrintStream(new ByteArrayOutputStream()), false);
    Path shippedRoot;

    // Every role published at version 2, so attacks can go back or sideways.
    @BeforeEach
    void setUp() throws Exception {
        mirror = new MirrorBuilder(tmp.resolve("mirror"));
        mirror.publish();
        mirror.publish();
        shippedRoot = Files.copy(mirror.dir.resolve("metadata/1.root.json"), tmp.resolve("root.json"));
        server = new TestServer();
        server.serve(mirror.dir);
        http = new Http(Config.parse("mirror = http://127.0.0.1/\nstall_timeout = 5\n", tmp, "t"), log, ms -> {});
    }

    @AfterEach
    void tearDown() { server.close(); }

    Trust refreshed() throws Exception {
        Trust t = Trust.open(tmp.resolve("state"), shippedRoot, Instant.now(), http, log);
        t.refresh(server.url("/"));
        return t;
    }

    byte[] stored(String role) throws Exception {
        Path p = tmp.resolve("state/metadata/" + role + ".json");
        return Files.exists(p) ? Files.readAllBytes(p) : null;
    }

    static byte[] file(MirrorBuilder m, String name) throws Exception { return Files.readAllBytes(m.meta(name)); }

    @Test
    void rootRotatesThroughEveryVersionAndTheNewestIsKept() throws Exception {
        mirror.rotateRoot(List.of(OTHER));
        mirror.rootThreshold = 2;
        mirror.rotateRoot(List.of(MirrorBuilder.newKey(), MirrorBuilder.newKey()));
        assertEquals(3, refreshed().rootVersion());
        // A new run starts from the stored root, not the shipped one.
        assertEquals(3, Trust.open(tmp.resolve("state"), shippedRoot, Instant.now(), http, log).rootVersion());
    }

    @Test
    void newTimestampKeyDropsTheOldTimestampSoItsVersionCanRestart() throws Exception {
        refreshed();
        mirror.timestampKey = OTHER;
        mirror.nextRoot(mirror.rootKeys, mirror.rootKeys);
        mirror.timestampVersion = 0;
        mirror.publish();
        refreshed();
        assertEquals(1L, Metadata.parse(stored("timestamp"), "timestamp").version);
    }

    @Test
    void badRootsAreRefusedWithoutFallingBack() throws Exception {
        refreshed();
        // A damaged stored root is not replaced by the shipped one.
        Files.writeString(tmp.resolve("state/metadata/root.json"), "garbage");
        assertEquals(Failure.Kind.LOCAL, assertThrows(Failure.class, this::refreshed).kind);
        // The shipped root must be signed by its own keys.
        Files.delete(tmp.resolve("state/metadata/root.json"));
        mirror.resign("1.root.json", s -> {}, List.of(OTHER));
        Files.copy(mirror.meta("1.root.json"), shippedRoot, StandardCopyOption.REPLACE_EXISTING);
        assertEquals(Failure.Kind.CONFIG, assertThrows(Failure.class, this::refreshed).kind);
        assertFalse(Files.exists(tmp.resolve("state/metadata/root.json")));
    }

    interface Attack {
        void apply(MirrorBuilder m) throws Exception;
    }

    static Arguments row(String name, String refusedRole, String reason, Attack attack) {
        return Arguments.of(name, refusedRole, reason, attack);
    }

    static final KeyPair OTHER = MirrorBuilder.newKey();

    // Each starts from a mirror whose every role is at version 2 and trusted.
    static Stream<Arguments> attacks() {
        return Stream.of(
            row("timestamp signed by the snapshot key", "timestamp", "valid timestamp signature",
                m -> m.resign("timestamp.json", s -> s.put("version", 3L), List.of(m.snapshotKey))),
            row("same timestamp version, other content", "timestamp", "differs from the trusted one",
                m -> m.resign("timestamp.json", s -> s.put("expires", "2099-01-01T00:00:00Z"), List.of(m.timestampKey))),
            row("timestamp names an older snapshot", "timestamp", "(rollback)",
                m -> m.writeTimestamp(file(m, "1.snapshot.json"), 1)),
            row("timestamp not canonical", "timestamp", "canonical form", m -> {
                m.publish();
                m.rewrite("timestamp.json", t -> t.replaceFirst(",", ", "));
            }),
            row("unknown field in the timestamp", "timestamp", "unknown field",
                m -> m.resign("timestamp.json", s -> s.putAll(Map.of("version", 3L, "note", "x")),
                              List.of(m.timestampKey))),
            row("snapshot tampered after signing", "snapshot", "does not match the length and hash", m -> {
                m.publish();
                m.rewrite("3.snapshot.json", t -> t.replace("\"snapshot\"", "\"snapshoT\""));
            }),
            row("snapshot longer than recorded", "snapshot", "bytes allowed", m -> {
                m.publish();
                m.rewrite("3.snapshot.json", t -> t + " ".repeat(100_000));
            }),
            row("snapshot of another version (mix-and-match)", "snapshot", "(mix-and-match)", m -> {
                Files.write(m.meta("3.snapshot.json"), file(m, "1.snapshot.json"));
                m.writeTimestamp(file(m, "1.snapshot.json"), 3);
            }),
            row("snapshot names an older targets version", "snapshot", "(rollback)",
                m -> m.writeTimestamp(m.writeSnapshot(file(m, "1.targets.json"), 1), 3)),
            row("expired snapshot", "snapshot", "(freeze)",
                m -> m.writeTimestamp(m.expired(() -> m.writeSnapshot(file(m, "2.targets.json"), 2)), 3)),
            row("expired targets", "targets", "(freeze)",
                m -> m.writeTimestamp(m.writeSnapshot(m.expired(m::writeTargets), 3), 3)),
            row("targets signed by another role's key", "targets", "valid targets signature", m -> {
                m.targetsKey = m.timestampKey;
                m.publish();
            }),
            row("new root signed only by its own keys", "root", "valid root signature",
                m -> m.nextRoot(List.of(OTHER), List.of(OTHER))),
            row("new root signed only by the old keys", "root", "valid root signature",
                m -> m.nextRoot(List.of(OTHER), m.rootKeys)),
            row("root file 2 holding version 3", "root", "has version 3", m -> {
                m.rootVersion = 3;
                Files.write(m.meta("2.root.json"), m.writeRoot(m.rootKeys));
            }),
            row("new root below its own threshold", "root", "needs 2", m -> {
                m.rootThreshold = 2;
                m.nextRoot(List.of(m.rootKeys.get(0), OTHER), m.rootKeys);
            }),
            row("expired new root", "timestamp", "the trusted root (version 2) expired",
                m -> m.expired(() -> m.nextRoot(m.rootKeys, m.rootKeys))));
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource("attacks")
    void refusedWithoutTrustingAnythingItRefused(String name, String refusedRole, String reason, Attack attack)
        throws Exception {
        refreshed();
        assertArrayEquals(file(mirror, "2.targets.json"), stored("targets"), "trusted files are kept");
        List<byte[]> before = new ArrayList<>();
        for (String role : ROLES) before.add(stored(role));
        attack.apply(mirror);
        Failure f = assertThrows(Failure.class, this::refreshed);
        assertTrue(f.kind == Failure.Kind.VERIFICATION && f.getMessage().contains(reason), f.getMessage());
        // A valid file before the refused one is kept (a newer timestamp,
        // an intermediate root); the refused role and those after it not.
        for (int i = ROLES.indexOf(refusedRole); i < ROLES.size(); ++i)
            assertArrayEquals(before.get(i), stored(ROLES.get(i)), ROLES.get(i));
    }

    /**
     * A small signing publisher: writes a mirror's metadata in the format
     * the client reads, with JDK Ed25519 keys, and edits or re-signs any
     * file to build an attack.
     */
    static final class MirrorBuilder {
        final Path dir;
        List<KeyPair> rootKeys = List.of(newKey());
        int rootThreshold = 1;
        KeyPair targetsKey = newKey(), snapshotKey = newKey(), timestampKey = newKey();
        long rootVersion = 1, targetsVersion, snapshotVersion, timestampVersion;
        Instant expires = Instant.now().plus(1, ChronoUnit.DAYS).truncatedTo(ChronoUnit.SECONDS);

        MirrorBuilder(Path dir) throws Exception {
            this.dir = Files.createDirectories(dir.resolve("metadata")).getParent();
            writeRoot(rootKeys);
        }

        static KeyPair newKey() {
            try {
                return KeyPairGenerator.getInstance("Ed25519").generateKeyPair();
            } catch (GeneralSecurityException e) {
                throw new IllegalStateException(e);
            }
        }

        Path meta(String name) { return dir.resolve("metadata/" + name); }

        static Map<String, Object> map(Object... kv) {
            Map<String, Object> m = new TreeMap<>();
            for (int i = 0; i < kv.length; i += 2) m.put((String) kv[i], kv[i + 1]);
            return m;
        }

        static Map<String, Object> keyJson(KeyPair k) {
            byte[] enc = k.getPublic().getEncoded();
            return map("keytype", "ed25519", "scheme", "ed25519", "keyval",
                       map("public", Hashes.hex(Arrays.copyOfRange(enc, enc.length - 32, enc.length))));
        }

        static String keyid(KeyPair k) throws Failure { return Hashes.hex(Hashes.sha256(Json.canonical(keyJson(k)))); }

        static Map<String, Object> role(int threshold, KeyPair... keys) throws Failure {
            List<Object> ids = new ArrayList<>();
            for (KeyPair k : keys) ids.add(keyid(k));
            return map("keyids", ids, "threshold", (long) threshold);
        }

        static byte[] sign(Map<String, Object> signed, List<KeyPair> keys) throws Exception {
            byte[] body = Json.canonical(signed);
            List<Object> sigs = new ArrayList<>();
            for (KeyPair k : keys) {
                Signature s = Signature.getInstance("Ed25519");
                s.initSign(k.getPrivate());
                s.update(body);
                sigs.add(map("keyid", keyid(k), "sig", Hashes.hex(s.sign())));
            }
            return Json.canonical(map("signatures", sigs, "signed", signed));
        }

        private byte[] write(String name, List<KeyPair> signers, String type, Object... fields) throws Exception {
            Map<String, Object> signed = map(fields);
            signed.putAll(map("_type", type, "expires", expires.toString()));
            byte[] file = sign(signed, signers);
            Files.write(meta(name), file);
            return file;
        }

        /** Writes N.root.json for the current version, signed by signers. */
        byte[] writeRoot(List<KeyPair> signers) throws Exception {
            Map<String, Object> keys = new TreeMap<>();
            for (KeyPair k : rootKeys) keys.put(keyid(k), keyJson(k));
            for (KeyPair k : List.of(targetsKey, snapshotKey, timestampKey)) keys.put(keyid(k), keyJson(k));
            return write(rootVersion + ".root.json", signers, "root", "consistent_snapshot", true, "keys", keys,
                         "roles", map("root", role(rootThreshold, rootKeys.toArray(new KeyPair[0])), "targets",
                                      role(1, targetsKey), "snapshot", role(1, snapshotKey), "timestamp",
                                      role(1, timestampKey)), "version", rootVersion);
        }

        byte[] nextRoot(List<KeyPair> keys, List<KeyPair> signers) throws Exception {
            rootKeys = keys;
            ++rootVersion;
            return writeRoot(signers);
        }

        /** Next root version with new root keys, signed by the old and the new keys. */
        void rotateRoot(List<KeyPair> keys) throws Exception {
            nextRoot(keys, Stream.concat(rootKeys.stream(), keys.stream()).toList());
        }

        /** Writes new targets, snapshot and timestamp versions, in that order. */
        void publish() throws Exception { writeTimestamp(writeSnapshot(writeTargets(), targetsVersion), snapshotVersion); }

        byte[] writeTargets() throws Exception {
            byte[] a = {'a'};
            return write(++targetsVersion + ".targets.json", List.of(targetsKey), "targets", "targets",
                         map("p/_default/set/a.dat", map("hashes", map("sha256", Hashes.hex(Hashes.sha256(a))),
                                                         "length", 1L)), "version", targetsVersion);
        }

        /** The next snapshot version, naming the given targets file as that version. */
        byte[] writeSnapshot(byte[] targetsFile, long version) throws Exception {
            return write(++snapshotVersion + ".snapshot.json", List.of(snapshotKey), "snapshot", "meta",
                         map("targets.json", fileInfo(targetsFile, version)), "version", snapshotVersion);
        }

        /** The next timestamp version, naming the given snapshot file as that version. */
        byte[] writeTimestamp(byte[] snapshotFile, long version) throws Exception {
            return write("timestamp.json", List.of(timestampKey), "timestamp", "meta",
                         map("snapshot.json", fileInfo(snapshotFile, version)), "version", ++timestampVersion);
        }

        static Map<String, Object> fileInfo(byte[] file, long version) {
            return map("hashes", map("sha256", Hashes.hex(Hashes.sha256(file))), "length", (long) file.length,
                       "version", version);
        }

        /** What write does, with an expiry date in the past. */
        <T> T expired(Callable<T> write) throws Exception {
            Instant later = expires;
            expires = Instant.parse("2020-01-01T00:00:00Z");
            try {
                return write.call();
            } finally {
                expires = later;
            }
        }

        /** Re-signs a metadata file after editing its signed object. */
        void resign(String name, Consumer<Map<String, Object>> edit, List<KeyPair> keys) throws Exception {
            Map<String, Object> signed = new TreeMap<>(Json.object(Json.parse(Files.readAllBytes(meta(name))), "signed"));
            edit.accept(signed);
            Files.write(meta(name), sign(signed, keys));
        }

        /** Edits a metadata file's text after signing. */
        void rewrite(String name, UnaryOperator<String> edit) throws IOException {
            Files.writeString(meta(name), edit.apply(Files.readString(meta(name))));
        }
    }
}
