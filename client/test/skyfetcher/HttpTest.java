package skyfetcher;

import static org.junit.jupiter.api.Assertions.*;
import static skyfetcher.TestServer.*;

import com.sun.net.httpserver.HttpHandler;
import java.io.*;
import java.nio.file.*;
import java.time.*;
import java.time.format.DateTimeFormatter;
import java.util.*;
import java.util.stream.Stream;
import org.junit.jupiter.api.*;
import org.junit.jupiter.api.io.TempDir;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.*;

class HttpTest {
    static final byte[] DATA = new byte[300_000];
    static final int HALF = DATA.length / 2;

    static {
        new Random(7).nextBytes(DATA);
    }

    @TempDir
    Path dir;
    TestServer server;
    final List<Long> sleeps = new ArrayList<>();
    Http http;
    Path partial;

    @BeforeEach
    void start() throws Exception {
        server = new TestServer();
        Config c = Config.parse("mirror = http://127.0.0.1/\nstall_timeout = 2\nretries = 2\nmax_retry_after = 60\n",
                                dir, "t");
        http = new Http(c, new Log(new PrintStream(new ByteArrayOutputStream()), true), sleeps::add);
        partial = dir.resolve("x.part");
    }

    @AfterEach
    void stop() {
        server.close();
    }

    void fetch(HttpHandler handler) throws Exception {
        server.on("/t", handler);
        http.fetchTarget(server.url("/t"), DATA.length, Hashes.sha256(DATA), partial);
    }

    static byte[] changed(byte[] b, int at) {
        byte[] c = b.clone();
        c[at] ^= 1;
        return c;
    }

    static Arguments served(String name, byte[] before, HttpHandler handler, String... requests) {
        return Arguments.of(name, before, handler, null, DATA.length, List.of(requests));
    }

    static Arguments refused(String name, byte[] before, HttpHandler handler, Failure.Kind kind, int kept) {
        return Arguments.of(name, before, handler, kind, kept, null);
    }

    // Partial file before, server behaviour, then the failure and how much
    // of the file may be kept, or the requests that must be seen.
    // (Overlong with a length and stalled responses: see EndToEndTest.)
    static Stream<Arguments> fetches() {
        byte[] half = Arrays.copyOf(DATA, HALF);
        String range = "GET /t Range: bytes=" + HALF + "-";
        HttpHandler chunkedLonger = ex -> {
            ex.sendResponseHeaders(200, 0);
            ex.getResponseBody().write(Arrays.copyOf(DATA, DATA.length + 1));
        };
        Failure.Kind net = Failure.Kind.NETWORK, bad = Failure.Kind.VERIFICATION;
        return Stream.of(served("fresh download", null, file(DATA), "GET /t"),
                         served("206 appends", half, file(DATA), range),
                         served("200 to a range restarts", half, whole(200, DATA), range),
                         served("416 restarts without a range", half, sequence(status(416), file(DATA)), range, "GET /t"),
                         served("206 at another offset restarts", half, sequence(from(10, DATA), file(DATA)), range, "GET /t"),
                         served("complete partial needs no request", DATA, status(500)),
                         served("wrong complete partial is replaced", changed(DATA, 0), file(DATA), "GET /t"),
                         served("longer partial is dropped", Arrays.copyOf(DATA, DATA.length + 5), file(DATA), "GET /t"),
                         served("busy, then busy, then served", null, sequence(status(503, "Retry-After", "2"),
                                status(429, "Retry-After", "1"), file(DATA)), "GET /t", "GET /t", "GET /t"),
                         refused("more than declared, chunked", null, chunkedLonger, bad, 0),
                         refused("corrupt kept prefix", changed(Arrays.copyOf(DATA, 1000), 3), file(DATA), bad, 0),
                         refused("connection cut", null, cutAfter(DATA, 100_000, 0), net, 100_000),
                         refused("server error", null, status(500), net, 0),
                         refused("busy without Retry-After", null, status(503), net, 0),
                         refused("Retry-After too long", null, status(429, "Retry-After", "3600"), net, 0),
                         refused("busy beyond the retries", null, status(503, "Retry-After", "1"), net, 0));
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

    @ParameterizedTest
    @ValueSource(ints = {403, 404, 410})
    void forbiddenAndNotFoundMeanMissing(int status) {
        assertThrows(Http.Missing.class, () -> fetch(status(status)));
        assertThrows(Http.Missing.class, () -> http.fetchSmall(server.url("/t"), 100));
    }

    @Test
    void smallFilesAreCappedWithOrWithoutALength() throws Exception {
        server.on("/s", whole(200, new byte[100]));
        server.on("/c", ex -> {
            ex.sendResponseHeaders(200, 0);
            ex.getResponseBody().write(new byte[100]);
        });
        assertEquals(100, http.fetchSmall(server.url("/s"), 100).length);
        for (String path : List.of("/s", "/c"))
            assertEquals(Failure.Kind.VERIFICATION,
                         assertThrows(Failure.class, () -> http.fetchSmall(server.url(path), 99)).kind);
    }

    @Test
    void retryAfterAsSecondsOrDate() {
        String in100s = DateTimeFormatter.RFC_1123_DATE_TIME.format(ZonedDateTime.now(ZoneOffset.UTC).plusSeconds(100));
        long future = Http.retryAfterMillis(in100s);
        assertTrue(future > 90_000 && future <= 100_000, "date in 100 s: " + future);
        assertEquals(List.of(120_000L, -1L, -1L, 0L), Stream.of(" 120", "soon", null, "Wed, 21 Oct 2015 07:28:00 GMT")
                                                          .map(Http::retryAfterMillis).toList());
    }
}
