package skyfetcher;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.file.Files;
import java.nio.file.Path;
import java.time.Instant;
import java.time.temporal.ChronoUnit;
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
 * The store's -l and -m with the real client against a mirror published by
 * qordefpublish and served by nginx on 127.0.0.1.
 */
class EndToEndTest {
    @TempDir
    Path tmp;
    Rig rig;
    Nginx nginx;

    @BeforeEach
    void setUp() throws Exception {
        rig = new Rig(tmp);
        nginx = Nginx.serve(rig.mirror, tmp.resolve("nginx"));
        rig.configure(List.of(nginx.url()));
        // The store must already hold a dated set: -l reports its stamp.
        Rig.mustSucceed(rig.store("-i", rig.makeSet("Z", 4, 1, 1).toString()));
        rig.publishSet(rig.makeSet("A", 3, 10, 1));
    }

    @AfterEach
    void tearDown() throws Exception {
        if (nginx != null)
            nginx.close();
    }

    List<String> requestsSince(int first) throws Exception {
        List<String> all = nginx.requests();
        return all.subList(first, all.size());
    }

    @Test
    void fullUpdateInstallsTheNewerSetThenFindsNothingToDo() throws Exception {
        Rig.Run r = rig.store("-l");
        Rig.mustSucceed(r);
        assertEquals(Rig.setName(3, 10, 1), rig.curDefs());
        assertEquals(LocalStore.digest(rig.sets.resolve("A")), LocalStore.digest(rig.defs().resolve("binhub")),
                     "the hub is primed from the downloaded set");

        String state = rig.storeState();
        int before = nginx.requests().size();
        r = rig.store("-l");
        Rig.mustSucceed(r);
        assertTrue(r.err().contains("already up to date"), r.toString());
        assertEquals(state, rig.storeState());
        assertEquals(List.of("GET /metadata/2.root.json", "GET /metadata/timestamp.json"), requestsSince(before),
                     "an unchanged mirror costs one small request besides the root check");
    }

    @Test
    void microdefsMoveTheStoreThroughAHubThenADirectPackage() throws Exception {
        Rig.mustSucceed(rig.store("-l"));
        rig.publishSet(rig.makeSet("B", 3, 20, 1));
        int before = nginx.requests().size();
        Rig.Run r = rig.store("-m", Rig.PRODUCT);
        Rig.mustSucceed(r);
        assertEquals(Rig.setName(3, 20, 1), rig.curDefs());
        assertEquals(LocalStore.digest(rig.sets.resolve("B")), LocalStore.digest(rig.defs().resolve("binhub")));
        List<String> fetched = requestsSince(before);
        assertEquals(1, fetched.stream().filter(q -> q.startsWith("GET /targets/")).count(), fetched.toString());
        assertTrue(fetched.stream().anyMatch(q -> q.contains(".binhub-")), fetched.toString());

        // A hub that no longer matches any package's source leaves only
        // the direct package.
        Files.writeString(rig.defs().resolve("binhub/defs1.dat"), "damaged\n",
                          java.nio.file.StandardOpenOption.APPEND);
        rig.publishSet(rig.makeSet("C", 2, 5, 1));
        before = nginx.requests().size();
        r = rig.store("-m", Rig.PRODUCT);
        Rig.mustSucceed(r);
        assertEquals(Rig.setName(2, 5, 1), rig.curDefs());
        assertEquals(LocalStore.digest(rig.sets.resolve("C")),
                     LocalStore.digest(rig.defs().resolve(Rig.setName(2, 5, 1))));
        fetched = requestsSince(before);
        assertTrue(fetched.stream().anyMatch(q -> q.contains(".direct-")), fetched.toString());
        assertFalse(fetched.stream().anyMatch(q -> q.contains("/set/")), fetched.toString());

        // Current: nothing is fetched and nothing changes.
        String state = rig.storeState();
        r = rig.store("-m", Rig.PRODUCT);
        Rig.mustSucceed(r);
        assertEquals(state, rig.storeState());
    }

    interface Step {
        void run(Rig rig) throws Exception;
    }

    static final Step NOTHING = rig -> {};

    static Stream<Arguments> attacks() {
        return Stream.of(
            Arguments.of("tampered target", NOTHING,
                         (Step) rig -> Rig.flipByte(rig.mirrorCopy(rig.sets.resolve("A/defs1.dat")), 100), "-l",
                         "SHA-256 does not match"),
            Arguments.of("bad signature", NOTHING,
                         (Step) rig -> {
                             Path ts = rig.mirror.resolve("metadata/timestamp.json");
                             String text = Files.readString(ts);
                             int sig = text.indexOf("\"sig\":\"") + 7;
                             char c = text.charAt(sig);
                             Files.writeString(ts, text.substring(0, sig) + (c == '0' ? '1' : '0')
                                                       + text.substring(sig + 1));
                         },
                         "-l", "valid timestamp signature"),
            Arguments.of("rolled-back metadata",
                         (Step) rig -> {
                             Files.copy(rig.mirror.resolve("metadata/timestamp.json"), rig.root.resolve("old-ts"));
                             Rig.mustSucceed(rig.publish("refresh", "--repo", rig.repo.toString()));
                             Rig.mustSucceed(rig.store("-l"));
                         },
                         (Step) rig -> Files.copy(rig.root.resolve("old-ts"),
                                                  rig.mirror.resolve("metadata/timestamp.json"),
                                                  java.nio.file.StandardCopyOption.REPLACE_EXISTING),
                         "-l", "(rollback)"),
            Arguments.of("expired timestamp", NOTHING,
                         (Step) rig -> Rig.mustSucceed(rig.publish(
                             "refresh", "--repo", rig.repo.toString(), "--now",
                             Instant.now().minus(2, ChronoUnit.DAYS).truncatedTo(ChronoUnit.SECONDS).toString())),
                         "-l", "(freeze)"),
            Arguments.of("tampered package",
                         (Step) rig -> {
                             Rig.mustSucceed(rig.store("-l"));
                             rig.publishSet(rig.makeSet("B", 3, 20, 1));
                         },
                         (Step) rig -> Rig.flipByte(rig.mirrorPackage("binhub", Rig.setName(3, 10, 1)), 40), "-m",
                         "SHA-256 does not match"));
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource("attacks")
    void attackIsRefusedAndTheStoreStaysAsItWas(String name, Step prepare, Step attack, String command,
                                               String reason) throws Exception {
        prepare.run(rig);
        String state = rig.storeState();
        attack.run(rig);
        Rig.Run r = command.equals("-l") ? rig.store("-l") : rig.store("-m", Rig.PRODUCT);
        assertEquals(9, r.status(), r.toString());
        assertTrue(r.err().contains(reason), r.toString());
        assertEquals(state, rig.storeState());
    }
}
