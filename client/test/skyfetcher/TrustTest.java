package skyfetcher;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.ByteArrayOutputStream;
import java.io.PrintStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.security.KeyPair;
import java.time.Instant;
import java.util.List;
import java.util.Map;
import java.util.stream.Stream;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.MethodSource;

class TrustTest {
    @TempDir
    Path tmp;
    MirrorBuilder mirror;
    TestServer server;
    Http http;
    Log log;
    Path shippedRoot;

    @BeforeEach
    void setUp() throws Exception {
        mirror = new MirrorBuilder(tmp.resolve("mirror"));
        mirror.addTarget("p/_default/set/a.dat", "alpha".getBytes(StandardCharsets.US_ASCII), null);
        mirror.publish();
        mirror.publish();
        shippedRoot = tmp.resolve("root.json");
        Files.copy(mirror.dir.resolve("metadata/1.root.json"), shippedRoot);
        server = new TestServer();
        server.serve(mirror.dir);
        log = new Log(new PrintStream(new ByteArrayOutputStream()), false);
        http = new Http(Config.parse("mirror = http://127.0.0.1/\nstall_timeout = 5\n", tmp, "t"), log, ms -> {});
    }

    @AfterEach
    void tearDown() {
        server.close();
    }

    Trust refreshed() throws Exception {
        Trust t = Trust.open(tmp.resolve("state"), shippedRoot, Instant.now(), http, log);
        t.refresh(server.url("/"));
        return t;
    }

    byte[] stored(String role) throws Exception {
        Path p = tmp.resolve("state/metadata/" + role + ".json");
        return Files.exists(p) ? Files.readAllBytes(p) : null;
    }

    @Test
    void firstRunTrustsThePublishedTargetsAndStoresThem() throws Exception {
        Trust t = refreshed();
        assertEquals(List.of("p/_default/set/a.dat"), List.copyOf(t.targets().keySet()));
        assertEquals("targets/p/_default/set/" + Hashes.hex(Hashes.sha256("alpha".getBytes(StandardCharsets.US_ASCII)))
                         + ".a.dat",
                     t.targets().get("p/_default/set/a.dat").mirrorPath());
        assertArrayEquals(Files.readAllBytes(mirror.dir.resolve("metadata/timestamp.json")), stored("timestamp"));
        assertArrayEquals(Files.readAllBytes(mirror.dir.resolve("metadata/2.targets.json")), stored("targets"));
    }

    @Test
    void rootRotatesThroughEveryVersionAndTheNewestIsKept() throws Exception {
        mirror.rotateRoot(List.of(MirrorBuilder.newKey()));
        mirror.rootThreshold = 2;
        mirror.rotateRoot(List.of(MirrorBuilder.newKey(), MirrorBuilder.newKey()));
        assertEquals(3, refreshed().rootVersion());
        // A new run starts from the stored root, not the shipped one.
        assertEquals(3, Trust.open(tmp.resolve("state"), shippedRoot, Instant.now(), http, log).rootVersion());
    }

    @Test
    void newTimestampKeyDropsTheOldTimestampSoItsVersionCanRestart() throws Exception {
        refreshed();
        mirror.timestampKey = MirrorBuilder.newKey();
        mirror.rotateRoot(mirror.rootKeys);
        mirror.timestampVersion = 0;
        mirror.publish();
        refreshed();
        assertEquals(1L, Metadata.parse(stored("timestamp"), "timestamp").version);
    }

    interface Attack {
        void apply(MirrorBuilder m) throws Exception;
    }

    static final Instant PAST = Instant.parse("2020-01-01T00:00:00Z");

    static byte[] file(MirrorBuilder m, String name) throws Exception {
        return Files.readAllBytes(m.dir.resolve("metadata/" + name));
    }

    // Each attack starts from a mirror published twice (every role at
    // version 2) that the client has already trusted.
    static Stream<Arguments> attacks() {
        return Stream.of(
            Arguments.of("timestamp signed by the snapshot key", "timestamp", "valid timestamp signature",
                         (Attack) m -> m.resign("timestamp.json", s -> s.put("version", 3L), List.of(m.snapshotKey))),
            Arguments.of("same timestamp version, other content", "timestamp", "differs from the trusted one",
                         (Attack) m -> m.resign("timestamp.json", s -> s.put("expires", "2099-01-01T00:00:00Z"),
                                                List.of(m.timestampKey))),
            Arguments.of("timestamp names an older snapshot", "timestamp", "(rollback)",
                         (Attack) m -> m.writeTimestamp(file(m, "1.snapshot.json"), 1)),
            Arguments.of("timestamp not canonical", "timestamp", "canonical form", (Attack) m -> {
                m.publish();
                Path p = m.dir.resolve("metadata/timestamp.json");
                Files.writeString(p, Files.readString(p).replaceFirst(",", ", "));
            }),
            Arguments.of("unknown field in the timestamp", "timestamp", "unknown field", (Attack) m -> m.resign("timestamp.json", s -> {
                s.put("version", 3L);
                s.put("spec_version", "1.0.0");
            }, List.of(m.timestampKey))),
            Arguments.of("snapshot tampered after signing", "snapshot", "does not match the length and hash", (Attack) m -> {
                m.publish();
                Path p = m.dir.resolve("metadata/3.snapshot.json");
                byte[] b = Files.readAllBytes(p);
                b[b.length - 3] ^= 1;
                Files.write(p, b);
            }),
            Arguments.of("snapshot longer than recorded", "snapshot", "bytes allowed", (Attack) m -> {
                m.publish();
                Path p = m.dir.resolve("metadata/3.snapshot.json");
                Files.writeString(p, Files.readString(p) + " ".repeat(100_000));
            }),
            Arguments.of("snapshot of another version (mix-and-match)", "snapshot", "(mix-and-match)", (Attack) m -> {
                byte[] old = file(m, "1.snapshot.json");
                Files.write(m.dir.resolve("metadata/3.snapshot.json"), old);
                m.writeTimestamp(old, 3);
            }),
            Arguments.of("snapshot names an older targets version", "snapshot", "(rollback)",
                         (Attack) m -> m.writeTimestamp(m.writeSnapshot(file(m, "1.targets.json"), 1), 3)),
            Arguments.of("expired snapshot", "snapshot", "(freeze)", (Attack) m -> {
                m.expires = PAST;
                byte[] s = m.writeSnapshot(file(m, "2.targets.json"), 2);
                m.expires = Instant.now().plusSeconds(3600).truncatedTo(java.time.temporal.ChronoUnit.SECONDS);
                m.writeTimestamp(s, 3);
            }),
            Arguments.of("expired targets", "targets", "(freeze)", (Attack) m -> {
                m.expires = PAST;
                byte[] t = m.writeTargets();
                m.expires = Instant.now().plusSeconds(3600).truncatedTo(java.time.temporal.ChronoUnit.SECONDS);
                m.writeTimestamp(m.writeSnapshot(t, 3), 3);
            }),
            Arguments.of("targets signed by another role's key", "targets", "valid targets signature", (Attack) m -> {
                m.targetsKey = m.timestampKey;
                m.publish();
            }),
            Arguments.of("new root signed only by its own keys", "root", "valid root signature", (Attack) m -> {
                m.rootKeys = List.of(MirrorBuilder.newKey());
                m.rootVersion = 2;
                m.writeRoot(m.rootKeys);
            }),
            Arguments.of("new root signed only by the old keys", "root", "valid root signature", (Attack) m -> {
                List<KeyPair> old = m.rootKeys;
                m.rootKeys = List.of(MirrorBuilder.newKey());
                m.rootVersion = 2;
                m.writeRoot(old);
            }),
            Arguments.of("root file 2 holding version 3", "root", "has version 3", (Attack) m -> {
                m.rootVersion = 3;
                Files.write(m.dir.resolve("metadata/2.root.json"), m.writeRoot(m.rootKeys));
            }),
            Arguments.of("new root below its own threshold", "root", "needs 2", (Attack) m -> {
                List<KeyPair> old = m.rootKeys;
                m.rootThreshold = 2;
                m.rootKeys = List.of(old.get(0), MirrorBuilder.newKey());
                m.rootVersion = 2;
                m.writeRoot(old);
            }),
            Arguments.of("expired new root", "timestamp", "the trusted root (version 2) expired", (Attack) m -> {
                m.expires = PAST;
                m.rotateRoot(m.rootKeys);
            }));
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource("attacks")
    void refusedWithoutTrustingAnythingItRefused(String name, String refusedRole, String reason, Attack attack) throws Exception {
        refreshed();
        List<String> order = List.of("root", "timestamp", "snapshot", "targets");
        List<byte[]> before = new java.util.ArrayList<>();
        for (String role : order) before.add(stored(role));
        attack.apply(mirror);
        Failure f = assertThrows(Failure.class, this::refreshed);
        assertTrue(f.getMessage().contains(reason), f.getMessage());
        assertEquals(Failure.Kind.VERIFICATION, f.kind, f.getMessage());
        // A valid file before the refused one is kept (a newer timestamp,
        // an intermediate root); the refused role and those after it not.
        for (int i = order.indexOf(refusedRole); i < order.size(); ++i)
            assertArrayEquals(before.get(i), stored(order.get(i)), order.get(i));
    }

    @Test
    void damagedStoredRootIsNotReplacedByTheShippedOne() throws Exception {
        refreshed();
        Files.writeString(tmp.resolve("state/metadata/root.json"), "garbage");
        assertEquals(Failure.Kind.LOCAL, assertThrows(Failure.class, this::refreshed).kind);
    }

    @Test
    void shippedRootMustBeSignedByItsOwnKeys() throws Exception {
        mirror.resign("1.root.json", s -> {}, List.of(MirrorBuilder.newKey()));
        Files.copy(mirror.dir.resolve("metadata/1.root.json"), shippedRoot,
                   java.nio.file.StandardCopyOption.REPLACE_EXISTING);
        assertEquals(Failure.Kind.CONFIG, assertThrows(Failure.class, this::refreshed).kind);
        assertFalse(Files.exists(tmp.resolve("state/metadata/root.json")));
    }
}
