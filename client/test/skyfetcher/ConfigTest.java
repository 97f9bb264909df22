package skyfetcher;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;

import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.Map;
import java.util.stream.Stream;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.MethodSource;

class ConfigTest {
    static final Path BASE = Paths.get("/etc/qd");

    @Test
    void shippedSampleLoadsWithItsDocumentedValues() throws Exception {
        Config c = Config.load(Paths.get(System.getProperty("skyfetcher.source"), "client", "skyfetcher.conf"));
        assertEquals("[https://defs.example.com/mirror/]", c.mirrors.toString());
        assertEquals(Paths.get("/etc/qordefutil/root.json"), c.trustedRoot);
        assertEquals(Paths.get("/var/lib/qordefutil/skyfetcher"), c.stateDir);
        assertEquals("15 30 3 300", c.connectTimeoutSeconds + " " + c.stallTimeoutSeconds + " " + c.retries + " "
                                        + c.maxRetryAfterSeconds);
        assertEquals(Map.of(), c.properties);
    }

    @Test
    void mirrorsKeepTheirOrderAndRelativePathsFollowTheFile() throws Exception {
        Config c = Config.parse("mirror = http://a.example/m\n# x\n\nmirror=https://b.example/\n"
                                    + "trusted_root = keys/root.json\nstate_dir=/abs/state\n"
                                    + "property.http.proxyHost = p.example\n",
                                BASE, "t");
        assertEquals("[http://a.example/m/, https://b.example/]", c.mirrors.toString());
        assertEquals(Paths.get("/etc/qd/keys/root.json"), c.trustedRoot);
        assertEquals(Paths.get("/abs/state"), c.stateDir);
        assertEquals(Map.of("http.proxyHost", "p.example"), c.properties);
    }

    static Stream<Arguments> refused() {
        String m = "mirror = http://a.example/\n";
        return Stream.of(Arguments.of("no mirror", "state_dir = /x\n"),
                         Arguments.of("unknown key", m + "mirrors = http://b/\n"),
                         Arguments.of("line without =", m + "stall_timeout 5\n"),
                         Arguments.of("empty value", m + "state_dir =\n"),
                         Arguments.of("single key twice", m + "stall_timeout=5\nstall_timeout=6\n"),
                         Arguments.of("ftp mirror", "mirror = ftp://a.example/\n"),
                         Arguments.of("mirror without host", "mirror = http:///x\n"),
                         Arguments.of("mirror with a query", "mirror = http://a.example/?x=1\n"),
                         Arguments.of("not a number", m + "connect_timeout = ten\n"),
                         Arguments.of("zero stall timeout", m + "stall_timeout = 0\n"),
                         Arguments.of("retries beyond the range", m + "retries = 101\n"));
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource("refused")
    void refusesWhatItCannotTakeAtFaceValue(String name, String text) {
        assertEquals(Failure.Kind.CONFIG, assertThrows(Failure.class, () -> Config.parse(text, BASE, "t")).kind);
    }

    @Test
    void locationOptionBeatsEnvironmentBeatsDefault() {
        Map<String, String> env = Map.of(Config.ENVIRONMENT_VARIABLE, "/env.conf");
        assertEquals(Paths.get("/opt.conf"), Config.locate("/opt.conf", env));
        assertEquals(Paths.get("/env.conf"), Config.locate(null, env));
        assertEquals(Paths.get(Config.DEFAULT_PATH), Config.locate(null, Map.of()));
    }
}
