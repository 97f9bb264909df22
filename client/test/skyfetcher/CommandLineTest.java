package skyfetcher;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;

import java.util.stream.Stream;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.MethodSource;

class CommandLineTest {
    // What /bin/sh makes of the store's command texts: words split at
    // blanks, quotes removed ("_" stands for a blank inside a quoted value).
    static String[] words(String text) {
        String[] w = text.trim().isEmpty() ? new String[0] : text.trim().split(" +");
        for (int i = 0; i < w.length; ++i) w[i] = w[i].replace('_', ' ');
        return w;
    }

    static final String FULL = "[ -p Morvik1.5 Definitions Linux -v 1.0 -l English -z 2009031512 -t VirusDef ]";

    static String micro(String product, String channel, String hub, String newest) {
        String g = "[ -p " + product + " -v %s -l TvlAllLanguages -t %s -z %s ] ";
        return String.format(g, channel, "HubDefs", hub) + String.format(g, channel, "CurDefs", newest)
            + String.format(g, "MicroDefsB.CurDefs", "CurDefs", newest);
    }

    static Stream<Arguments> accepted() {
        String full = "FULL Morvik1.5 Definitions Linux 1.0 English VirusDef 2009-3-15.12 ";
        return Stream.of(Arguments.of(FULL, full + "debug=false config=null"),
                         Arguments.of("-d " + FULL, full + "debug=true config=null"),
                         Arguments.of("--config /x/s.conf -d " + FULL, full + "debug=true config=/x/s.conf"),
                         Arguments.of("--config=rel.conf " + FULL, full + "debug=false config=rel.conf"),
                         Arguments.of(micro("MailScanner", "MicroDefsB.Mar", "90310001", "90315012"),
                                      "MICRODEFS MailScanner MicroDefsB.Mar hub=90310001 newest=90315012"),
                         Arguments.of(micro("P", "MicroDefsB.Error", "0", "0"),
                                      "MICRODEFS P MicroDefsB.Error hub=0 newest=0"),
                         Arguments.of(micro("Web_Shield", "MicroDefsB.Old", "0", "1001231999"),
                                      "MICRODEFS Web Shield MicroDefsB.Old hub=0 newest=1001231999"));
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource("accepted")
    void readsWhatTheStoreSends(String text, String expected) throws Exception {
        CommandLine c = CommandLine.parse(words(text));
        String got = c.mode == CommandLine.Mode.FULL
                         ? String.format("FULL %s %s %s %s %d-%d-%d.%d debug=%s config=%s", c.product, c.version,
                                         c.language, c.contentType, c.stampYear, c.stampMonth, c.stampDay,
                                         c.stampRevision, c.debug, c.configPath)
                         : String.format("MICRODEFS %s %s hub=%d newest=%d", c.product, c.channel, c.hubSequence,
                                         c.newestSequence);
        assertEquals(expected, got);
    }

    static Stream<Arguments> refused() {
        String m = micro("P", "MicroDefsB.Mar", "90310001", "90315012").trim();
        return Stream.of(Arguments.of("nothing", ""), Arguments.of("unknown option", "-x " + FULL),
                         Arguments.of("the -l value -g", "-g " + FULL),
                         Arguments.of("--config without a file", "--config " + FULL),
                         Arguments.of("two groups", FULL + " " + FULL),
                         Arguments.of("unclosed group", FULL.replace(" ]", "")),
                         Arguments.of("group inside a group", "[ -p a [ -v 1 ] ]"),
                         Arguments.of("word between groups", m.replaceFirst("\\] \\[", "] x [")),
                         Arguments.of("word after the groups", m + " -d"),
                         Arguments.of("missing -z", FULL.replace(" -z 2009031512", "")),
                         Arguments.of("field without a value", FULL.replace("-v 1.0", "-v")),
                         Arguments.of("field given twice", FULL.replace("-t VirusDef", "-t VirusDef -p again")),
                         Arguments.of("stamp too short", FULL.replace("2009031512", "200903151")),
                         Arguments.of("stamp not digits", FULL.replace("2009031512", "2009-03-15")),
                         Arguments.of("sequence with a leading zero", m.replace("90310001", "090310001")),
                         Arguments.of("sequence with month 13", m.replace("90310001", "91310001")),
                         Arguments.of("sequence with day 0", m.replace("90310001", "90300001")),
                         Arguments.of("sequence too large", m.replace("90310001", "1001231999999")),
                         Arguments.of("newest sequences differ", m.replaceFirst("90315012 \\]$", "90315013 ]")),
                         Arguments.of("unknown channel", m.replace("MicroDefsB.Mar", "MicroDefsB.March")),
                         Arguments.of("channels differ", m.replaceFirst("MicroDefsB.Mar", "MicroDefsB.Apr")),
                         Arguments.of("third channel not CurDefs", m.replace("MicroDefsB.CurDefs", "MicroDefsB.Mar")),
                         Arguments.of("contents swapped", m.replaceFirst("HubDefs", "CurDefs")),
                         Arguments.of("products differ", m.replaceFirst("-p P", "-p Q")),
                         Arguments.of("languages differ", m.replaceFirst("TvlAllLanguages", "English")));
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource("refused")
    void anythingElseIsAUsageError(String name, String text) {
        Failure f = assertThrows(Failure.class, () -> CommandLine.parse(words(text)));
        assertEquals(Failure.Kind.USAGE, f.kind, f.getMessage());
    }
}
