package skyfetcher;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.sun.net.httpserver.HttpHandler;
import java.io.ByteArrayOutputStream;
import java.io.PrintStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Random;
import java.util.stream.Stream;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.MethodSource;
import org.junit.jupiter.params.provider.ValueSource;

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

    static HttpHandler rangeFrom10() {
        return ex -> {
            ex.getResponseHeaders().add("Content-Range", "bytes 10-" + (DATA.length - 1) + "/" + DATA.length);
            ex.sendResponseHeaders(206, DATA.length - 10);
            ex.getResponseBody().write(DATA, 10, DATA.length - 10);
        };
    }

    // Partial file before, server behaviour, the requests that must be seen.
    static Stream<Arguments> completes() {
        String range = "GET /t Range: bytes=" + HALF + "-";
        return Stream.of(Arguments.of("fresh download", null, TestServer.file(DATA), List.of("GET /t")),
                         Arguments.of("206 appends", Arrays.copyOf(DATA, HALF), TestServer.file(DATA), List.of(range)),
                         Arguments.of("200 to a range restarts", Arrays.copyOf(DATA, HALF),
                                      TestServer.whole(200, DATA), List.of(range)),
                         Arguments.of("416 restarts without a range", Arrays.copyOf(DATA, HALF),
                                      TestServer.sequence(TestServer.status(416), TestServer.file(DATA)),
                                      List.of(range, "GET /t")),
                         Arguments.of("206 at another offset restarts", Arrays.copyOf(DATA, HALF),
                                      TestServer.sequence(rangeFrom10(), TestServer.file(DATA)),
                                      List.of(range, "GET /t")),
                         Arguments.of("complete partial needs no request", DATA, TestServer.status(500), List.of()),
                         Arguments.of("wrong complete partial is replaced", changed(DATA, 0), TestServer.file(DATA),
                                      List.of("GET /t")),
                         Arguments.of("longer partial is dropped", Arrays.copyOf(DATA, DATA.length + 5),
                                      TestServer.file(DATA), List.of("GET /t")),
                         Arguments.of("busy, then busy, then served", null,
                                      TestServer.sequence(TestServer.status(503, "Retry-After", "2"),
                                                          TestServer.status(429, "Retry-After", "1"),
                                                          TestServer.file(DATA)),
                                      List.of("GET /t", "GET /t", "GET /t")));
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource("completes")
    void downloadEndsWithTheVerifiedFile(String name, byte[] before, HttpHandler handler, List<String> requests)
        throws Exception {
        if (before != null)
            Files.write(partial, before);
        fetch(handler);
        assertArrayEquals(DATA, Files.readAllBytes(partial));
        assertEquals(requests, server.requests());
        assertEquals(name.startsWith("busy") ? List.of(2000L, 1000L) : List.of(), sleeps);
    }

    // Server behaviour, the failure, and how much of the file may be kept.
    // (Overlong, stalled and tampered responses: see FaultTest and EndToEndTest.)
    static Stream<Arguments> failures() {
        byte[] longer = Arrays.copyOf(DATA, DATA.length + 1);
        return Stream.of(
            Arguments.of("more than declared, chunked", (HttpHandler) ex -> {
                ex.sendResponseHeaders(200, 0);
                ex.getResponseBody().write(longer);
            }, Failure.Kind.VERIFICATION, 0),
            Arguments.of("corrupt kept prefix", TestServer.file(DATA), Failure.Kind.VERIFICATION, 0),
            Arguments.of("connection cut", TestServer.cutAfter(DATA, 100_000, 0), Failure.Kind.NETWORK, 100_000),
            Arguments.of("server error", TestServer.status(500), Failure.Kind.NETWORK, 0),
            Arguments.of("busy without Retry-After", TestServer.status(503), Failure.Kind.NETWORK, 0),
            Arguments.of("Retry-After too long", TestServer.status(429, "Retry-After", "3600"), Failure.Kind.NETWORK, 0),
            Arguments.of("busy beyond the retries", TestServer.status(503, "Retry-After", "1"), Failure.Kind.NETWORK,
                         0));
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource("failures")
    void refusedDownloadKeepsOnlyAVerifiablePrefix(String name, HttpHandler handler, Failure.Kind kind, int kept)
        throws Exception {
        if (name.equals("corrupt kept prefix"))
            Files.write(partial, changed(Arrays.copyOf(DATA, 1000), 3));
        long start = System.nanoTime();
        Failure f = assertThrows(Failure.class, () -> fetch(handler));
        assertEquals(kind, f.kind, f.getMessage());
        assertTrue(System.nanoTime() - start < 5_000_000_000L, "gave up within the stall timeout");
        byte[] left = Files.exists(partial) ? Files.readAllBytes(partial) : new byte[0];
        assertArrayEquals(Arrays.copyOf(DATA, kept), left);
    }

    @ParameterizedTest
    @ValueSource(ints = {403, 404, 410})
    void forbiddenAndNotFoundMeanMissing(int status) {
        assertThrows(Http.Missing.class, () -> fetch(TestServer.status(status)));
        assertThrows(Http.Missing.class, () -> http.fetchSmall(server.url("/t"), 100));
    }

    @Test
    void smallFilesAreCappedWithOrWithoutALength() throws Exception {
        server.on("/s", TestServer.whole(200, new byte[100]));
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
        assertEquals(120_000L, Http.retryAfterMillis(" 120"));
        assertEquals(-1L, Http.retryAfterMillis("soon"));
        assertEquals(-1L, Http.retryAfterMillis(null));
        assertEquals(0L, Http.retryAfterMillis("Wed, 21 Oct 2015 07:28:00 GMT"));
        long future = Http.retryAfterMillis(java.time.format.DateTimeFormatter.RFC_1123_DATE_TIME.format(
            java.time.ZonedDateTime.now(java.time.ZoneOffset.UTC).plusSeconds(100)));
        assertTrue(future > 90_000 && future <= 100_000, "date in 100 s: " + future);
    }
}
