package skyfetcher;

import static org.junit.jupiter.api.Assertions.*;
import static java.nio.file.StandardCopyOption.REPLACE_EXISTING;
import static java.time.format.DateTimeFormatter.RFC_1123_DATE_TIME;
import static skyfetcher.TestServer.*;

import com.sun.net.httpserver.HttpHandler;
import java.io.*;
import java.nio.file.*;
import java.security.*;
import java.time.*;
import java.time.temporal.ChronoUnit;
import java.util.*;
import java.util.concurrent.Callable;
import java.util.function.*;
import java.util.stream.Stream;
import org.junit.jupiter.api.*;
import org.junit.jupiter.api.function.ThrowingConsumer;
import org.junit.jupiter.api.io.TempDir;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.*;

/** The client against the JDK's HTTP server: downloads that resume or give up, metadata it trusts or refuses. */
class MirrorTest {
    static final byte[] DATA = new byte[300_000];
    static final List<String> ROLES = List.of("root", "timestamp", "snapshot", "targets");
    static { new Random(7).nextBytes(DATA); }

    @TempDir Path tmp;
    final List<Long> sleeps = new ArrayList<>();
    final Log log = new Log(new PrintStream(OutputStream.nullOutputStream()), true);
    // The mirror's signing state: attacks edit it, then write or re-sign a file.
    List<KeyPair> rootKeys = List.of(newKey());
    KeyPair targetsKey = newKey(), snapshotKey = newKey(), timestampKey = newKey();
    long rootThreshold = 1, rootVersion = 1, targetsVersion, snapshotVersion, timestampVersion;
    Instant expires = Instant.now().plus(1, ChronoUnit.DAYS).truncatedTo(ChronoUnit.SECONDS);
    TestServer server;
    Http http;
    Path partial, shippedRoot;

    // Every role published at version 2, so attacks can go back or sideways.
    @BeforeEach
    void setUp() throws Exception {
        Files.createDirectories(meta(""));
        writeRoot(rootKeys);
        publish();
        publish();
        shippedRoot = Files.copy(meta("1.root.json"), tmp.resolve("root.json"));
        server = new TestServer(tmp.resolve("mirror"));
        String conf = "mirror = http://127.0.0.1/\nstall_timeout = 2\nretries = 2\nmax_retry_after = 60\n";
        http = new Http(Config.parse(conf, tmp, "t"), log, sleeps::add);
        partial = tmp.resolve("x.part");
    }

    @AfterEach
    void tearDown() { server.close(); }

    void fetch(HttpHandler handler) throws Exception {
        server.on("/t", handler);
        http.fetchTarget(server.url("/t"), DATA.length, Hashes.sha256(DATA), partial);
    }

    /** Not a prefix of the data: what a corrupted partial file holds. */
    static byte[] shifted(int length) { return Arrays.copyOfRange(DATA, 1, length + 1); }

    static Arguments served(String name, byte[] before, HttpHandler handler, String... requests) {
        return Arguments.of(name, before, handler, null, DATA.length, List.of(requests));
    }

    static Arguments refused(String name, byte[] before, HttpHandler handler, Failure.Kind kind, int kept) {
        return Arguments.of(name, before, handler, kind, kept, null);
    }

    // Partial file before, server behaviour, then the failure and how much of it may be kept, or the requests seen.
    static Stream<Arguments> fetches() {
        byte[] half = Arrays.copyOf(DATA, DATA.length / 2), longer = Arrays.copyOf(DATA, DATA.length + 1);
        String t = "GET /t", range = t + " Range: bytes=" + DATA.length / 2 + "-";
        Failure.Kind net = Failure.Kind.NETWORK, bad = Failure.Kind.VERIFICATION;
        return Stream.of(served("206 appends", half, file(DATA), range),
                         served("200 to a range restarts", half, whole(200, DATA), range),
                         served("416 restarts without a range", half, sequence(status(416), file(DATA)), range, t),
                         served("206 at another offset restarts", half, sequence(from(10, DATA), file(DATA)), range, t),
                         served("complete partial needs no request", DATA, status(500)),
                         served("wrong complete partial is replaced", shifted(DATA.length), file(DATA), t),
                         served("longer partial is dropped", longer, file(DATA), t),
                         served("busy, then busy, then served", null, sequence(status(503, "Retry-After", "2"),
                                status(429, "Retry-After", "1"), file(DATA)), t, t, t),
                         refused("more than declared, chunked", null, whole(200, longer, 0), bad, 0),
                         refused("more than declared", null, whole(200, longer), bad, 0),
                         refused("corrupt kept prefix", shifted(1000), file(DATA), bad, 0),
                         refused("connection cut", null, cutAfter(DATA, 100_000, 0), net, 100_000),
                         refused("stalled", null, cutAfter(DATA, 100_000, 10_000), net, 100_000),
                         refused("server error", null, status(500), net, 0),
                         refused("busy without Retry-After", null, status(503), net, 0),
                         refused("Retry-After too long", null, status(429, "Retry-After", "3600"), net, 0),
                         refused("busy beyond the retries", null, status(503, "Retry-After", "1"), net, 0),
                         refused("Retry-After not understood", null, status(503, "Retry-After", "soon"), net, 0));
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource("fetches")
    void fetchEndsWithTheVerifiedFileOrOnlyAVerifiablePrefix(String name, byte[] before, HttpHandler handler,
                                                             Failure.Kind kind, int kept, List<String> requests)
        throws Exception {
        if (before != null)
            Files.write(partial, before);
        long start = System.nanoTime();
        if (kind == null)
            fetch(handler);
        else
            assertEquals(kind, assertThrows(Failure.class, () -> fetch(handler)).kind);
        assertTrue(System.nanoTime() - start < 5_000_000_000L, "gave up within the stall timeout");
        assertArrayEquals(Arrays.copyOf(DATA, kept), Files.exists(partial) ? Files.readAllBytes(partial) : new byte[0]);
        if (requests != null) {
            assertEquals(requests, server.requests());
            assertEquals(name.endsWith("served") ? List.of(2000L, 1000L) : List.of(), sleeps);
        }
    }

    @Test
    void smallFilesAreCappedAndForbiddenOrNotFoundMeanMissing() throws Exception {
        server.on("/s", whole(200, new byte[100]));
        server.on("/c", whole(200, new byte[100], 0));
        assertEquals(100, http.fetchSmall(server.url("/s"), 100).length);
        for (String path : List.of("/s", "/c"))
            assertEquals(Failure.Kind.VERIFICATION,
                         assertThrows(Failure.class, () -> http.fetchSmall(server.url(path), 99)).kind, path);
        for (int status : List.of(403, 404, 410)) {
            assertThrows(Http.Missing.class, () -> fetch(status(status)), "fetch " + status);
            assertThrows(Http.Missing.class, () -> http.fetchSmall(server.url("/t"), 100), "fetchSmall " + status);
        }
    }

    @Test
    void retryAfterMayBeADate() {
        long ms = Http.retryAfterMillis(RFC_1123_DATE_TIME.format(ZonedDateTime.now(ZoneOffset.UTC).plusSeconds(100)));
        assertTrue(ms > 90_000 && ms <= 100_000, "date in 100 s: " + ms);
    }

    Trust refreshed() throws Exception {
        Trust t = Trust.open(tmp.resolve("state"), shippedRoot, Instant.now(), http, log);
        t.refresh(server.url("/"));
        return t;
    }

    byte[] stored(String role) throws IOException {
        return Files.readAllBytes(tmp.resolve("state/metadata/" + role + ".json"));
    }

    @Test
    void rootKeysRotateAndANewTimestampKeyRestartsItsVersions() throws Exception {
        refreshed();
        KeyPair k1 = newKey(), k2 = newKey();
        nextRoot(List.of(OTHER), List.of(rootKeys.get(0), OTHER));
        rootThreshold = 2;
        timestampKey = newKey();
        nextRoot(List.of(k1, k2), List.of(OTHER, k1, k2));
        timestampVersion = 0;
        publish();
        assertEquals(3, refreshed().rootVersion());
        assertEquals(1L, Metadata.parse(stored("timestamp"), "timestamp").version);
        // A new run starts from the stored root, not the shipped one.
        assertEquals(3, Trust.open(tmp.resolve("state"), shippedRoot, Instant.now(), http, log).rootVersion());
    }

    @Test
    void badRootsAreRefusedWithoutFallingBack() throws Exception {
        refreshed();
        // A damaged stored root is not replaced by the shipped one.
        Files.writeString(tmp.resolve("state/metadata/root.json"), "garbage");
        assertEquals(Failure.Kind.LOCAL, assertThrows(Failure.class, this::refreshed).kind);
        // The shipped root must be signed by its own keys.
        Files.delete(tmp.resolve("state/metadata/root.json"));
        resign("1.root.json", s -> {}, OTHER);
        Files.copy(meta("1.root.json"), shippedRoot, REPLACE_EXISTING);
        assertEquals(Failure.Kind.CONFIG, assertThrows(Failure.class, this::refreshed).kind);
        assertFalse(Files.exists(tmp.resolve("state/metadata/root.json")));
    }

    interface Attack extends ThrowingConsumer<MirrorTest> {}

    static Arguments row(String name, String role, String why, Attack a) { return Arguments.of(name, role, why, a); }

    static final KeyPair OTHER = newKey();

    // Each starts from a mirror whose every role is at version 2 and trusted.
    static Stream<Arguments> attacks() {
        return Stream.of(
            row("timestamp signed by the snapshot key", "timestamp", "valid timestamp signature",
                m -> m.resign("timestamp.json", s -> s.put("version", 3L), m.snapshotKey)),
            row("same timestamp version, other content", "timestamp", "differs from the trusted one",
                m -> m.resign("timestamp.json", s -> s.put("expires", "2099-01-01T00:00:00Z"), m.timestampKey)),
            row("timestamp names an older snapshot", "timestamp", "(rollback)",
                m -> m.writeTimestamp(m.bytes("1.snapshot.json"), 1)),
            row("timestamp not canonical", "timestamp", "canonical form",
                m -> { m.publish(); m.rewrite("timestamp.json", t -> t.replaceFirst(",", ", ")); }),
            row("unknown field in the timestamp", "timestamp", "unknown field",
                m -> m.resign("timestamp.json", s -> s.putAll(Map.of("version", 3L, "note", "x")), m.timestampKey)),
            row("snapshot tampered after signing", "snapshot", "does not match the length and hash",
                m -> { m.publish(); m.rewrite("3.snapshot.json", t -> t.replace("\"snapshot\"", "\"snapshoT\"")); }),
            row("snapshot longer than recorded", "snapshot", "bytes allowed",
                m -> { m.publish(); m.rewrite("3.snapshot.json", t -> t + " ".repeat(100_000)); }),
            row("snapshot of another version (mix-and-match)", "snapshot", "(mix-and-match)",
                m -> m.writeTimestamp(m.copy("1.snapshot.json", "3.snapshot.json"), 3)),
            row("snapshot names an older targets version", "snapshot", "(rollback)",
                m -> m.writeTimestamp(m.writeSnapshot(m.bytes("1.targets.json"), 1), 3)),
            row("expired snapshot", "snapshot", "(freeze)",
                m -> m.writeTimestamp(m.expired(() -> m.writeSnapshot(m.bytes("2.targets.json"), 2)), 3)),
            row("expired targets", "targets", "(freeze)",
                m -> m.writeTimestamp(m.writeSnapshot(m.expired(m::writeTargets), 3), 3)),
            row("targets signed by another role's key", "targets", "valid targets signature",
                m -> { m.targetsKey = m.timestampKey; m.publish(); }),
            row("new root signed only by its own keys", "root", "valid root signature",
                m -> m.nextRoot(List.of(OTHER), List.of(OTHER))),
            row("new root signed only by the old keys", "root", "valid root signature",
                m -> m.nextRoot(List.of(OTHER), m.rootKeys)),
            row("root file 2 holding version 3", "root", "has version 3",
                m -> { m.rootVersion = 3; m.writeRoot(m.rootKeys); m.copy("3.root.json", "2.root.json"); }),
            row("new root below its own threshold", "root", "needs 2",
                m -> { m.rootThreshold = 2; m.nextRoot(List.of(m.rootKeys.get(0), OTHER), m.rootKeys); }),
            row("expired new root", "timestamp", "the trusted root (version 2) expired",
                m -> m.expired(() -> m.nextRoot(m.rootKeys, m.rootKeys))));
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource("attacks")
    void refusedWithoutTrustingAnythingItRefused(String name, String refusedRole, String reason, Attack attack)
        throws Throwable {
        refreshed();
        assertArrayEquals(bytes("2.targets.json"), stored("targets"), "trusted files are kept");
        List<byte[]> before = new ArrayList<>();
        for (String role : ROLES) before.add(stored(role));
        attack.accept(this);
        Failure f = assertThrows(Failure.class, this::refreshed);
        assertTrue(f.kind == Failure.Kind.VERIFICATION && f.getMessage().contains(reason), f.getMessage());
        // A valid file before the refused one is kept (a newer timestamp, an intermediate root); the rest not.
        for (int i = ROLES.indexOf(refusedRole); i < ROLES.size(); ++i)
            assertArrayEquals(before.get(i), stored(ROLES.get(i)), ROLES.get(i));
    }

    static KeyPair newKey() {
        return assertDoesNotThrow(() -> KeyPairGenerator.getInstance("Ed25519")).generateKeyPair();
    }

    Path meta(String name) { return tmp.resolve("mirror/metadata/" + name); }
    byte[] bytes(String name) throws IOException { return Files.readAllBytes(meta(name)); }
    byte[] copy(String from, String to) throws IOException {
        return Files.readAllBytes(Files.copy(meta(from), meta(to), REPLACE_EXISTING));
    }

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

    static Map<String, Object> role(long threshold, KeyPair... keys) throws Failure {
        List<Object> ids = new ArrayList<>();
        for (KeyPair k : keys) ids.add(keyid(k));
        return map("keyids", ids, "threshold", threshold);
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
        return Files.readAllBytes(Files.write(meta(name), sign(signed, signers)));
    }

    byte[] writeRoot(List<KeyPair> signers) throws Exception {
        Map<String, Object> keys = new TreeMap<>();
        for (KeyPair k : Stream.concat(rootKeys.stream(), Stream.of(targetsKey, snapshotKey, timestampKey)).toList())
            keys.put(keyid(k), keyJson(k));
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

    void publish() throws Exception { writeTimestamp(writeSnapshot(writeTargets(), targetsVersion), snapshotVersion); }

    byte[] writeTargets() throws Exception {
        Map<String, Object> a = fileInfo(new byte[] {'a'}, 0);
        a.remove("version");
        return write(++targetsVersion + ".targets.json", List.of(targetsKey), "targets", "targets",
                     map("p/_default/set/a.dat", a), "version", targetsVersion);
    }

    byte[] writeSnapshot(byte[] targetsFile, long version) throws Exception {
        return write(++snapshotVersion + ".snapshot.json", List.of(snapshotKey), "snapshot", "meta",
                     map("targets.json", fileInfo(targetsFile, version)), "version", snapshotVersion);
    }

    byte[] writeTimestamp(byte[] snapshotFile, long version) throws Exception {
        return write("timestamp.json", List.of(timestampKey), "timestamp", "meta",
                     map("snapshot.json", fileInfo(snapshotFile, version)), "version", ++timestampVersion);
    }

    static Map<String, Object> fileInfo(byte[] file, long version) {
        return map("hashes", map("sha256", Hashes.hex(Hashes.sha256(file))), "length", (long) file.length,
                   "version", version);
    }

    <T> T expired(Callable<T> write) throws Exception {
        Instant later = expires;
        expires = Instant.parse("2020-01-01T00:00:00Z");
        T file = write.call();
        expires = later;
        return file;
    }

    void resign(String name, Consumer<Map<String, Object>> edit, KeyPair key) throws Exception {
        Map<String, Object> signed = new TreeMap<>(Json.object(Json.parse(Files.readAllBytes(meta(name))), "signed"));
        edit.accept(signed);
        Files.write(meta(name), sign(signed, List.of(key)));
    }

    void rewrite(String name, UnaryOperator<String> edit) throws IOException {
        Files.writeString(meta(name), edit.apply(Files.readString(meta(name))));
    }
}
