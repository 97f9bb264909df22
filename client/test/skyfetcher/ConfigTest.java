package skyfetcher;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;

import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.Map;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.ValueSource;

class ConfigTest {
    static final Path BASE = Paths.get("/etc/qd");

    @Test
    void shippedSampleLoadsWithItsDocumentedValues() throws Exception {
        Config c = Config.load(Paths.get(System.getProperty("skyfetcher.source"), "client", "skyfetcher.conf"));
        assertEquals("[https://defs.example.com/mirror/] /etc/qordefutil/root.json /var/lib/qordefutil/skyfetcher "
                         + "15 30 3 300 {}",
                     c.mirrors + " " + c.trustedRoot + " " + c.stateDir + " " + c.connectTimeoutSeconds + " "
                         + c.stallTimeoutSeconds + " " + c.retries + " " + c.maxRetryAfterSeconds + " " + c.properties);
    }

    @Test
    void mirrorsKeepTheirOrderAndRelativePathsFollowTheFile() throws Exception {
        Config c = Config.parse("mirror = http://a.example/m\n# x\n\nmirror=https://b.example/\n"
                                    + "trusted_root = keys/root.json\nproperty.http.proxyHost = p.example\n",
                                BASE, "t");
        assertEquals("[http://a.example/m/, https://b.example/]", c.mirrors.toString());
        assertEquals(Paths.get("/etc/qd/keys/root.json"), c.trustedRoot);
        assertEquals(Map.of("http.proxyHost", "p.example"), c.properties);
    }

    @ParameterizedTest
    @ValueSource(strings = {"state_dir = /x\n", "M mirrors = http://b/\n", "M stall_timeout 5\n", "M state_dir =\n",
                            "M stall_timeout=5\nstall_timeout=6\n", "mirror = ftp://a.example/\n",
                            "mirror = http:///x\n", "mirror = http://a.example/?x=1\n", "M connect_timeout = ten\n",
                            "M stall_timeout = 0\n", "M retries = 101\n"})
    void refusesWhatItCannotTakeAtFaceValue(String text) {
        String full = text.replace("M ", "mirror = http://a.example/\n");
        assertEquals(Failure.Kind.CONFIG, assertThrows(Failure.class, () -> Config.parse(full, BASE, "t")).kind);
    }

    @Test
    void locationOptionBeatsEnvironmentBeatsDefault() {
        Map<String, String> env = Map.of(Config.ENVIRONMENT_VARIABLE, "/env.conf");
        assertEquals(Paths.get("/opt.conf"), Config.locate("/opt.conf", env));
        assertEquals(Paths.get("/env.conf"), Config.locate(null, env));
        assertEquals(Paths.get(Config.DEFAULT_PATH), Config.locate(null, Map.of()));
    }
}
