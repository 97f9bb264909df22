package skyfetcher;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.sun.net.httpserver.HttpHandler;
import java.io.ByteArrayOutputStream;
import java.io.PrintStream;
import java.net.ServerSocket;
import java.net.URI;
import java.net.http.HttpHeaders;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Map;
import java.util.Random;
import java.util.stream.Stream;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.MethodSource;

class HttpTest {
    static final byte[] DATA = new byte[300_000];
    static final byte[] SHA;

    static {
        new Random(7).nextBytes(DATA);
        SHA = Hashes.sha256(DATA);
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
        Config c = Config.parse("mirror = http://127.0.0.1/\nstall_timeout = 2\nconnect_timeout = 2\n"
                                    + "retries = 2\nmax_retry_after = 60\n",
                                dir, "t");
        http = new Http(c, new Log(new PrintStream(new ByteArrayOutputStream()), true), sleeps::add);
        partial = dir.resolve(Hashes.hex(SHA) + ".part");
    }

    @AfterEach
    void stop() {
        server.close();
    }

    void fetch(HttpHandler handler) throws Exception {
        server.on("/t", handler);
        http.fetchTarget(server.url("/t"), DATA.length, SHA, partial);
    }

    void writePartial(int bytes) throws Exception {
        Files.write(partial, Arrays.copyOf(DATA, bytes));
    }

    static Stream<Arguments> completes() {
        int half = DATA.length / 2;
        byte[] junkPrefix = DATA.clone();
        junkPrefix[5] ^= 1;
        return Stream.of(
            Arguments.of("fresh download", 0, TestServer.file(DATA), List.of("GET /t")),
            Arguments.of("206 appends to the partial", half, TestServer.file(DATA),
                         List.of("GET /t Range: bytes=" + half + "-")),
            Arguments.of("200 to a range restarts", half, TestServer.whole(200, DATA),
                         List.of("GET /t Range: bytes=" + half + "-")),
            Arguments.of("416 restarts without a range", half,
                         TestServer.sequence(TestServer.status(416), TestServer.file(DATA)),
                         List.of("GET /t Range: bytes=" + half + "-", "GET /t")),
            Arguments.of("206 at another offset restarts", half,
                         TestServer.sequence(ex -> {
                             ex.getResponseHeaders().add("Content-Range", "bytes 10-" + (DATA.length - 1) + "/"
                                                                              + DATA.length);
                             ex.sendResponseHeaders(206, DATA.length - 10);
                             ex.getResponseBody().write(DATA, 10, DATA.length - 10);
                         }, TestServer.file(DATA)),
                         List.of("GET /t Range: bytes=" + half + "-", "GET /t")),
            Arguments.of("complete partial needs no request", DATA.length, TestServer.status(500), List.of()),
            Arguments.of("longer partial is dropped", DATA.length + 5, TestServer.file(DATA), List.of("GET /t")));
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource("completes")
    void downloadEndsWithTheVerifiedFile(String name, int partialBytes, HttpHandler handler, List<String> requests)
        throws Exception {
        if (partialBytes > DATA.length) {
            byte[] longer = Arrays.copyOf(DATA, partialBytes);
            Files.write(partial, longer);
        } else if (partialBytes > 0) {
            writePartial(partialBytes);
        }
        fetch(handler);
        assertArrayEquals(DATA, Files.readAllBytes(partial));
        assertEquals(requests, server.requests());
    }

    @Test
    void wrongCompletePartialIsReplaced() throws Exception {
        byte[] wrong = DATA.clone();
        wrong[0] ^= 1;
        Files.write(partial, wrong);
        fetch(TestServer.file(DATA));
        assertArrayEquals(DATA, Files.readAllBytes(partial));
        assertEquals(List.of("GET /t"), server.requests());
    }

    @Test
    void corruptResumedPrefixFailsTheHashAndIsDeleted() throws Exception {
        byte[] bad = Arrays.copyOf(DATA, 1000);
        bad[3] ^= 1;
        Files.write(partial, bad);
        Failure f = assertThrows(Failure.class, () -> fetch(TestServer.file(DATA)));
        assertEquals(Failure.Kind.VERIFICATION, f.kind);
        assertFalse(Files.exists(partial));
    }

    static Stream<Arguments> failures() {
        byte[] tampered = DATA.clone();
        tampered[DATA.length - 1] ^= 1;
        byte[] longer = Arrays.copyOf(DATA, DATA.length + 1);
        return Stream.of(
            Arguments.of("tampered content", TestServer.file(tampered), Failure.Kind.VERIFICATION, false),
            Arguments.of("more than declared, announced", TestServer.whole(200, longer), Failure.Kind.VERIFICATION,
                         false),
            Arguments.of("more than declared, unannounced", (HttpHandler) ex -> {
                ex.sendResponseHeaders(200, 0);  // chunked: no length announced
                ex.getResponseBody().write(longer);
            }, Failure.Kind.VERIFICATION, false),
            Arguments.of("connection cut", TestServer.cutAfter(DATA, 100_000, 0), Failure.Kind.NETWORK, true),
            Arguments.of("stalled body", TestServer.cutAfter(DATA, 100_000, 6000), Failure.Kind.NETWORK, true),
            Arguments.of("server error", TestServer.status(500), Failure.Kind.NETWORK, false),
            Arguments.of("busy without Retry-After", TestServer.status(503), Failure.Kind.NETWORK, false),
            Arguments.of("Retry-After too long", TestServer.status(429, "Retry-After", "3600"), Failure.Kind.NETWORK,
                         false),
            Arguments.of("busy beyond the retries", TestServer.status(503, "Retry-After", "1"), Failure.Kind.NETWORK,
                         false));
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource("failures")
    void refusedDownloadsKeepOnlyAnHonestPrefix(String name, HttpHandler handler, Failure.Kind kind,
                                                boolean keepsPrefix) throws Exception {
        long start = System.nanoTime();
        Failure f = assertThrows(Failure.class, () -> fetch(handler));
        assertEquals(kind, f.kind, f.getMessage());
        assertTrue(System.nanoTime() - start < 5_000_000_000L, "gave up within the stall timeout");
        if (keepsPrefix) {
            byte[] kept = Files.readAllBytes(partial);
            assertTrue(kept.length > 0 && kept.length < DATA.length);
            assertArrayEquals(Arrays.copyOf(DATA, kept.length), kept);
        } else {
            assertFalse(Files.exists(partial) && Files.size(partial) > 0, "no unverified data kept");
        }
    }

    @Test
    void interruptedDownloadResumesWhereItStopped() throws Exception {
        assertThrows(Failure.class, () -> fetch(TestServer.cutAfter(DATA, 100_000, 0)));
        long kept = Files.size(partial);
        fetch(TestServer.file(DATA));
        assertArrayEquals(DATA, Files.readAllBytes(partial));
        assertEquals("GET /t Range: bytes=" + kept + "-", server.requests().get(1));
    }

    @Test
    void retryAfterIsWaitedOutThenTheFileArrives() throws Exception {
        fetch(TestServer.sequence(TestServer.status(503, "Retry-After", "2"),
                                  TestServer.status(429, "Retry-After", "1"), TestServer.file(DATA)));
        assertArrayEquals(DATA, Files.readAllBytes(partial));
        assertEquals(List.of(2000L, 1000L), sleeps);
    }

    static Stream<Arguments> missing() {
        return Stream.of(Arguments.of(403), Arguments.of(404), Arguments.of(410));
    }

    @ParameterizedTest
    @MethodSource("missing")
    void forbiddenAndNotFoundMeanMissing(int status) {
        Http.Missing m = assertThrows(Http.Missing.class, () -> fetch(TestServer.status(status)));
        assertThrows(Http.Missing.class, () -> http.fetchSmall(server.url("/t"), 100));
    }

    @Test
    void smallFilesAreCapped() throws Exception {
        server.on("/s", TestServer.whole(200, new byte[100]));
        assertEquals(100, http.fetchSmall(server.url("/s"), 100).length);
        assertEquals(Failure.Kind.VERIFICATION,
                     assertThrows(Failure.class, () -> http.fetchSmall(server.url("/s"), 99)).kind);
        server.on("/c", ex -> {
            ex.sendResponseHeaders(200, 0);
            ex.getResponseBody().write(new byte[100]);
        });
        assertEquals(Failure.Kind.VERIFICATION,
                     assertThrows(Failure.class, () -> http.fetchSmall(server.url("/c"), 99)).kind);
    }

    @Test
    void refusedConnectionIsANetworkFailure() throws Exception {
        int port;
        try (ServerSocket s = new ServerSocket(0)) {
            port = s.getLocalPort();
        }
        URI url = URI.create("http://127.0.0.1:" + port + "/t");
        assertEquals(Failure.Kind.NETWORK,
                     assertThrows(Failure.class, () -> http.fetchTarget(url, DATA.length, SHA, partial)).kind);
    }

    @Test
    void retryAfterForms() {
        assertEquals(120_000L, Http.retryAfterMillis(headers("120")));
        assertEquals(-1L, Http.retryAfterMillis(headers("soon")));
        assertEquals(-1L, Http.retryAfterMillis(HttpHeaders.of(Map.of(), (a, b) -> true)));
        assertEquals(0L, Http.retryAfterMillis(headers("Wed, 21 Oct 2015 07:28:00 GMT")));
        long future = Http.retryAfterMillis(headers(java.time.format.DateTimeFormatter.RFC_1123_DATE_TIME.format(
            java.time.ZonedDateTime.now(java.time.ZoneOffset.UTC).plusSeconds(100))));
        assertTrue(future > 90_000 && future <= 100_000, "date in 100 s: " + future);
    }

    static HttpHeaders headers(String retryAfter) {
        return HttpHeaders.of(Map.of("Retry-After", List.of(retryAfter)), (a, b) -> true);
    }
}
