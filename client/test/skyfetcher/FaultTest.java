package skyfetcher;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.sun.net.httpserver.HttpHandler;
import java.net.URI;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Arrays;
import java.util.List;
import java.util.stream.Stream;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.MethodSource;

/**
 * The store's -l with the real client against servers that misbehave in
 * ways a production web server cannot be made to: the JDK's HTTP server
 * serves the published mirror, with a fault on one file of the set.
 */
class FaultTest {
    @TempDir
    Path tmp;
    Rig rig;
    TestServer server;
    Path defs1;
    byte[] defs1Bytes;

    @BeforeEach
    void setUp() throws Exception {
        rig = new Rig(tmp);
        server = new TestServer();
        server.serve(rig.mirror);
        rig.configure(List.of(server.url("/")));
        Rig.mustSucceed(rig.store("-i", rig.makeSet("Z", 4, 1, 1).toString()));
        rig.publishSet(rig.makeSet("A", 3, 10, 1));
        defs1 = rig.mirrorCopy(rig.sets.resolve("A/defs1.dat"));
        defs1Bytes = Files.readAllBytes(defs1);
    }

    @AfterEach
    void tearDown() {
        server.close();
    }

    String defs1Url() {
        return "/" + rig.mirror.relativize(defs1);
    }

    interface Fault {
        HttpHandler make(byte[] content);
    }

    static Stream<Arguments> faults() {
        return Stream.of(Arguments.of("more than the declared length",
                                      (Fault) c -> TestServer.whole(200, Arrays.copyOf(c, c.length + 4096)),
                                      "more than"),
                         Arguments.of("stalled server", (Fault) c -> TestServer.cutAfter(c, 1000, 10_000), "no data for"));
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource("faults")
    void faultIsRefusedAndTheStoreStaysAsItWas(String name, Fault fault, String reason) throws Exception {
        String state = rig.storeState();
        server.on(defs1Url(), fault.make(defs1Bytes));
        Rig.Run r = rig.store("-l");
        assertEquals(9, r.status(), r.toString());
        assertTrue(r.err().contains(reason), r.toString());
        assertEquals(state, rig.storeState());
    }

    @Test
    void firstMirrorDownTheSecondServes() throws Exception {
        URI down = URI.create("http://127.0.0.1:" + Nginx.freePort() + "/");
        rig.configure(List.of(down, server.url("/")));
        Rig.Run r = rig.store("-l");
        Rig.mustSucceed(r);
        assertTrue(r.err().contains("mirror " + down + " refused"), r.toString());
        assertEquals(Rig.setName(3, 10, 1), rig.curDefs());
    }

    @Test
    void interruptedDownloadIsResumedByTheNextRun() throws Exception {
        String state = rig.storeState();
        server.on(defs1Url(), TestServer.sequence(TestServer.cutAfter(defs1Bytes, 10_000, 0),
                                                  TestServer.file(defs1Bytes)));
        Rig.Run r = rig.store("-l");
        assertEquals(9, r.status(), r.toString());
        assertEquals(state, rig.storeState());
        Path partial = rig.state.resolve("partial/" + Hashes.hex(Hashes.sha256(defs1Bytes)) + ".part");
        assertEquals(10_000, Files.size(partial));

        r = rig.store("-l");
        Rig.mustSucceed(r);
        assertEquals(Rig.setName(3, 10, 1), rig.curDefs());
        assertTrue(server.requests().contains("GET " + defs1Url() + " Range: bytes=10000-"),
                   server.requests().toString());
        assertEquals(List.of(), Arrays.asList(rig.state.resolve("partial").toFile().list()));
    }
}
