package skyfetcher;

import static org.junit.jupiter.api.Assertions.*;

import java.nio.charset.StandardCharsets;
import java.nio.file.*;
import java.util.*;
import java.util.stream.Stream;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.*;

/** What the client reads: the store's command line, its configuration and JSON. */
class ParsingTest {
    // What /bin/sh makes of the store's command texts ("_" stands for a blank inside a quoted value).
    static String[] words(String text) {
        return Stream.of(text.trim().split(" +")).filter(w -> !w.isEmpty()).map(w -> w.replace('_', ' '))
            .toArray(String[]::new);
    }

    static final String FULL = "[ -p Morvik1.5 Definitions Linux -v 1.0 -l English -z 2009031512 -t VirusDef ]";

    static String micro(String product, String channel, String hub, String newest) {
        String g = "[ -p " + product + " -v %s -l TvlAllLanguages -t %s -z %s ] ";
        return String.format(g, channel, "HubDefs", hub) + String.format(g, channel, "CurDefs", newest)
            + String.format(g, "MicroDefsB.CurDefs", "CurDefs", newest);
    }

    static Stream<Arguments> commandLines() {
        String full = "Morvik1.5 Definitions Linux 1.0 English VirusDef 2009-3-15.12 ";
        return Stream.of(
            Arguments.of(FULL, full + "false null"), Arguments.of("-d " + FULL, full + "true null"),
            Arguments.of("--config /x/s.conf -d " + FULL, full + "true /x/s.conf"),
            Arguments.of("--config=rel.conf " + FULL, full + "false rel.conf"),
            Arguments.of(micro("Q", "MicroDefsB.Mar", "90310001", "90315012"), "Q MicroDefsB.Mar 90310001 90315012"),
            Arguments.of(micro("P", "MicroDefsB.Error", "0", "0"), "P MicroDefsB.Error 0 0"),
            Arguments.of(micro("Web_Shield", "MicroDefsB.Old", "0", "1001231999"),
                         "Web Shield MicroDefsB.Old 0 1001231999"));
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource("commandLines")
    void readsWhatTheStoreSends(String text, String expected) throws Exception {
        CommandLine c = CommandLine.parse(words(text));
        assertEquals(expected, c.mode == CommandLine.Mode.FULL
                                   ? String.format("%s %s %s %s %d-%d-%d.%d %s %s", c.product, c.version, c.language,
                                                   c.contentType, c.stampYear, c.stampMonth, c.stampDay,
                                                   c.stampRevision, c.debug, c.configPath)
                                   : c.product + " " + c.channel + " " + c.hubSequence + " " + c.newestSequence);
    }

    static Stream<Arguments> badCommandLines() {
        String m = micro("P", "MicroDefsB.Mar", "90310001", "90315012").trim();
        String[] rows = {"nothing", "", "unknown option", "-x " + FULL, "the -l value -g", "-g " + FULL,
            "--config without a file", "--config " + FULL, "two groups", FULL + " " + FULL,
            "unclosed group", FULL.replace(" ]", ""), "group inside a group", "[ -p a [ -v 1 ] ]",
            "word between groups", m.replaceFirst("\\] \\[", "] x ["), "word after the groups", m + " -d",
            "missing -z", FULL.replace(" -z 2009031512", ""), "field without a value", FULL.replace("-v 1.0", "-v"),
            "field given twice", FULL.replace("-t VirusDef", "-t VirusDef -p again"),
            "stamp too short", FULL.replace("2009031512", "200903151"),
            "stamp not digits", FULL.replace("2009031512", "2009-03-15"),
            "sequence with a leading zero", m.replace("90310001", "090310001"),
            "sequence with month 13", m.replace("90310001", "91310001"),
            "sequence with day 0", m.replace("90310001", "90300001"),
            "sequence too large", m.replace("90310001", "1001231999999"),
            "newest sequences differ", m.replaceFirst("90315012 \\]$", "90315013 ]"),
            "unknown channel", m.replace("MicroDefsB.Mar", "MicroDefsB.March"),
            "channels differ", m.replaceFirst("MicroDefsB.Mar", "MicroDefsB.Apr"),
            "third channel not CurDefs", m.replace("MicroDefsB.CurDefs", "MicroDefsB.Mar"),
            "contents swapped", m.replaceFirst("HubDefs", "CurDefs"), "products differ", m.replaceFirst("-p P", "-p Q"),
            "languages differ", m.replaceFirst("TvlAllLanguages", "English")};
        return Stream.iterate(0, i -> i < rows.length, i -> i + 2).map(i -> Arguments.of(rows[i], rows[i + 1]));
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource("badCommandLines")
    void anyOtherCommandLineIsAUsageError(String name, String text) {
        assertEquals(Failure.Kind.USAGE, assertThrows(Failure.class, () -> CommandLine.parse(words(text))).kind);
    }

    @Test
    void configurationReadsMirrorsInOrderAndPathsRelativeToTheFile() throws Exception {
        Config c = Config.load(Paths.get(System.getProperty("skyfetcher.source"), "client", "skyfetcher.conf"));
        assertEquals("[https://defs.example.com/mirror/] 15 30 3 300", c.mirrors + " " + c.connectTimeoutSeconds + " "
                     + c.stallTimeoutSeconds + " " + c.retries + " " + c.maxRetryAfterSeconds, "the shipped sample");
        c = Config.parse("mirror = http://a.example/m\n# x\n\nmirror=https://b.example/\n"
                             + "trusted_root = keys/root.json\nproperty.http.proxyHost = p.example\n",
                         Paths.get("/etc/qd"), "t");
        assertEquals("[http://a.example/m/, https://b.example/] /etc/qd/keys/root.json {http.proxyHost=p.example}",
                     c.mirrors + " " + c.trustedRoot + " " + c.properties);
        // The file named by the option beats the environment, which beats the default.
        Map<String, String> env = Map.of(Config.ENVIRONMENT_VARIABLE, "/env.conf");
        assertEquals(List.of(Paths.get("/opt.conf"), Paths.get("/env.conf"), Paths.get(Config.DEFAULT_PATH)),
                     List.of(Config.locate("/opt.conf", env), Config.locate(null, env), Config.locate(null, Map.of())));
    }

    // "M " stands for a valid mirror line.
    @ParameterizedTest
    @ValueSource(strings = {"state_dir = /x\n", "M mirrors = http://b/\n", "M stall_timeout 5\n", "M state_dir =\n",
                            "M stall_timeout=5\nstall_timeout=6\n", "mirror = ftp://a.example/\n",
                            "mirror = http:///x\n", "mirror = http://a.example/?x=1\n", "M connect_timeout = ten\n",
                            "M stall_timeout = 0\n", "M retries = 101\n"})
    void configurationRefusesWhatItCannotTakeAtFaceValue(String text) {
        String c = text.replace("M ", "mirror = http://a.example/\n");
        assertEquals(Failure.Kind.CONFIG, assertThrows(Failure.class, () -> Config.parse(c, Path.of("/"), "t")).kind);
    }

    @Test
    void canonicalJsonSortsKeysAtEveryLevelAndDropsWhitespace() throws Exception {
        String pretty = "{\n  \"signed\": {\"version\": 3, \"_type\": \"r\\u006ft\",\n"
                        + "    \"keys\": {\"b\": [2, 1, {\"z\": true, \"a\": null}], \"a\": \"q\\\"\\\\\\/\"}},\n"
                        + "  \"signatures\": [] }";
        String expected = "{\"signatures\":[],\"signed\":{\"_type\":\"rot\","
                          + "\"keys\":{\"a\":\"q\\\"\\\\/\",\"b\":[2,1,{\"a\":null,\"z\":true}]},\"version\":3}}";
        assertEquals(expected, new String(Json.canonical(Json.parse(pretty)), StandardCharsets.US_ASCII));
        assertThrows(Failure.class, () -> Json.parse("[".repeat(70) + "]".repeat(70)), "nesting beyond the limit");
    }

    // Forms two parsers could read differently, or that canonical form cannot hold.
    @ParameterizedTest
    @ValueSource(strings = {"{\"a\":1,\"a\":2}", "{\"a\":1.5}", "{\"a\":1e3}", "[01]", "[-0]", "[9223372036854775808]",
                            "[\"a\tb\"]", "[\"a\\nb\"]", "[\"\\u0007\"]", "[\"caf\u00e9\"]", "[\"\\u00e9\"]", "{} {}",
                            "[1,]", "{/* c */}", "{'a':1}", "[\"abc", "{\"a\":1", "[nul]", "", "\u00ef\u00bb\u00bf{}"})
    void jsonRefusesAmbiguousOrNonCanonicalInput(String text) {
        assertEquals(Failure.Kind.VERIFICATION,
                     assertThrows(Failure.class, () -> Json.parse(text.getBytes(StandardCharsets.ISO_8859_1))).kind);
    }
}
