package skyfetcher;

import static org.junit.jupiter.api.Assertions.*;

import com.sun.net.httpserver.HttpHandler;
import java.net.URI;
import java.nio.file.*;
import java.time.Instant;
import java.time.temporal.ChronoUnit;
import java.util.*;
import java.util.function.Function;
import java.util.stream.Stream;
import org.junit.jupiter.api.*;
import org.junit.jupiter.api.io.TempDir;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.*;

/**
 * The store's -l and -m with the real client against a mirror published by
 * qordefpublish, served by nginx or, for faults nginx cannot be made to
 * show, by the JDK's HTTP server.
 */
class EndToEndTest {
    @TempDir
    Path tmp;
    Rig rig;
    TestServer server;
    Path defs1;
    String defs1Url;

    @BeforeEach
    void setUp() throws Exception {
        rig = new Rig(tmp);
        server = new TestServer();
        server.serve(rig.mirror);
        rig.configure(server.url("/"));
        // The store must already hold a dated set: -l reports its stamp.
        rig.storeOk("-i", rig.makeSet("Z", 4, 1).toString());
        rig.publishSet("A", 3, 10);
        Path a = rig.sets.resolve("A/defs1.dat");
        defs1 = rig.inMirror(Hashes.hex(Hashes.sha256(a)) + ".defs1.dat");
        defs1Url = "/" + rig.mirror.relativize(defs1);
    }

    @AfterEach
    void tearDown() { server.close(); }

    @Test
    void fullUpdateInstallsTheNewerSetThenFindsNothingToDo() throws Exception {
        try (Rig.Nginx nginx = Rig.Nginx.serve(rig.mirror, tmp.resolve("nginx"))) {
            rig.configure(nginx.url());
            rig.storeOk("-l");
        }
        assertEquals(Rig.setName(3, 10), rig.curDefs());
        assertEquals(LocalStore.digest(rig.sets.resolve("A")), LocalStore.digest(rig.defs.resolve("binhub")),
                     "the hub is primed from the downloaded set");
        String state = rig.storeState();
        rig.configure(server.url("/"));
        assertTrue(rig.storeOk("-l").err().contains("already up to date"));
        assertEquals(state, rig.storeState());
        assertEquals(List.of("GET /metadata/2.root.json", "GET /metadata/timestamp.json"), server.requests(),
                     "an unchanged mirror costs one small request besides the root check");
    }

    List<String> targetsFetched(String... command) throws Exception {
        int before = server.requests().size();
        rig.storeOk(command);
        List<String> all = server.requests();
        return all.subList(before, all.size()).stream().filter(q -> q.startsWith("GET /targets/")).toList();
    }

    @Test
    void microdefsMoveTheStoreThroughAHubThenADirectPackage() throws Exception {
        rig.storeOk("-l");
        rig.publishSet("B", 3, 20);
        List<String> fetched = targetsFetched("-m", Rig.PRODUCT);
        assertTrue(fetched.size() == 1 && fetched.get(0).contains(".binhub-"), fetched.toString());
        assertEquals(Rig.setName(3, 20), rig.curDefs());
        assertEquals(LocalStore.digest(rig.sets.resolve("B")), LocalStore.digest(rig.defs.resolve("binhub")));

        // A hub that matches no package's source leaves only the direct package.
        Files.writeString(rig.defs.resolve("binhub/defs1.dat"), "damaged\n", StandardOpenOption.APPEND);
        rig.publishSet("C", 2, 5);
        fetched = targetsFetched("-m", Rig.PRODUCT);
        assertTrue(fetched.size() == 1 && fetched.get(0).contains(".direct-"), fetched.toString());
        assertEquals(Rig.setName(2, 5), rig.curDefs());
        assertEquals(LocalStore.digest(rig.sets.resolve("C")), LocalStore.digest(rig.defs.resolve(Rig.setName(2, 5))));

        String state = rig.storeState();
        assertEquals(List.of(), targetsFetched("-m", Rig.PRODUCT));
        assertEquals(state, rig.storeState());
    }

    interface Step {
        void run(EndToEndTest t) throws Exception;
    }

    static Arguments row(String name, Step prepare, Step attack, String command, String reason) {
        return Arguments.of(name, prepare, attack, command, reason);
    }

    // What runs first, the attack or fault, then the command refused and why.
    static Stream<Arguments> attacks() {
        Step none = t -> {};
        return Stream.of(
            row("tampered target", none, t -> Rig.flipByte(t.defs1, 100), "-l", "SHA-256 does not match"),
            row("bad signature", none, t -> {
                Path ts = t.rig.mirror.resolve("metadata/timestamp.json");
                String text = Files.readString(ts);
                int sig = text.indexOf("\"sig\":\"") + 7;
                Files.writeString(ts, text.substring(0, sig) + (text.charAt(sig) == '0' ? '1' : '0')
                                          + text.substring(sig + 1));
            }, "-l", "valid timestamp signature"),
            row("rolled-back metadata", t -> {
                Files.copy(t.rig.mirror.resolve("metadata/timestamp.json"), t.tmp.resolve("old-ts"));
                t.rig.publish("refresh", "--repo", t.rig.repo.toString());
                t.rig.storeOk("-l");
            }, t -> Files.copy(t.tmp.resolve("old-ts"), t.rig.mirror.resolve("metadata/timestamp.json"),
                               StandardCopyOption.REPLACE_EXISTING), "-l", "(rollback)"),
            row("expired timestamp", none, t -> t.rig.publish("refresh", "--repo", t.rig.repo.toString(), "--now",
                Instant.now().minus(2, ChronoUnit.DAYS).truncatedTo(ChronoUnit.SECONDS).toString()), "-l", "(freeze)"),
            row("tampered package", t -> {
                t.rig.storeOk("-l");
                t.rig.publishSet("B", 3, 20);
            }, t -> {
                String from = Rig.setName(3, 10);
                Rig.flipByte(t.rig.inMirror(".binhub-" + from.substring(2, 8) + from.substring(9) + "-"), 40);
            }, "-m", "SHA-256 does not match"),
            row("more than the declared length", none,
                t -> t.fault(c -> TestServer.whole(200, Arrays.copyOf(c, c.length + 4096))), "-l", "more than"),
            row("stalled server", none, t -> t.fault(c -> TestServer.cutAfter(c, 1000, 10_000)), "-l", "no data for"));
    }

    void fault(Function<byte[], HttpHandler> handler) throws Exception {
        server.on(defs1Url, handler.apply(Files.readAllBytes(defs1)));
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource("attacks")
    void refusedAndTheStoreStaysAsItWas(String name, Step prepare, Step attack, String command, String reason)
        throws Exception {
        prepare.run(this);
        String state = rig.storeState();
        attack.run(this);
        Rig.Run r = command.equals("-l") ? rig.store("-l") : rig.store("-m", Rig.PRODUCT);
        assertTrue(r.status() == 9 && r.err().contains(reason), r.toString());
        assertEquals(state, rig.storeState());
    }

    @Test
    void interruptedDownloadIsResumedByTheNextRun() throws Exception {
        String state = rig.storeState(), part = Hashes.hex(Hashes.sha256(Files.readAllBytes(defs1))) + ".part";
        fault(c -> TestServer.sequence(TestServer.cutAfter(c, 10_000, 0), TestServer.file(c)));
        assertEquals(9, rig.store("-l").status());
        assertEquals(state, rig.storeState());
        assertEquals(10_000, Files.size(rig.state.resolve("partial/" + part)));
        rig.storeOk("-l");
        assertEquals(Rig.setName(3, 10), rig.curDefs());
        assertTrue(server.requests().contains("GET " + defs1Url + " Range: bytes=10000-"), server.requests().toString());
        assertEquals(List.of(), Arrays.asList(rig.state.resolve("partial").toFile().list()));
    }

    @Test
    void firstMirrorDownTheSecondServes() throws Exception {
        URI down = URI.create("http://127.0.0.1:" + Rig.freePort() + "/");
        rig.configure(down, server.url("/"));
        assertTrue(rig.storeOk("-l").err().contains("mirror " + down + " refused"));
        assertEquals(Rig.setName(3, 10), rig.curDefs());
    }
}
