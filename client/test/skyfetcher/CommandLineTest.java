package skyfetcher;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;

import java.util.stream.Stream;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.MethodSource;

class CommandLineTest {
    // What /bin/sh makes of the store's command texts: split at blanks,
    // double quotes removed.
    static String[] words(String text) {
        return text.trim().isEmpty() ? new String[0] : text.trim().split(" +");
    }

    static final String FULL = "[ -p Morvik1.5 Definitions Linux -v 1.0 -l English -z 2009031512 -t VirusDef ]";

    static String[] micro(String product, String channel, String hub, String newest) {
        String g = "[ -p " + product + " -v %s -l TvlAllLanguages -t %s -z %s ] ";
        String text = String.format(g, channel, "HubDefs", hub) + String.format(g, channel, "CurDefs", newest)
                      + String.format(g, "MicroDefsB.CurDefs", "CurDefs", newest);
        return words(text);
    }

    @Test
    void fullUpdateGroupAsTheStoreSendsIt() throws Exception {
        CommandLine c = CommandLine.parse(words(FULL));
        assertEquals(CommandLine.Mode.FULL, c.mode);
        assertEquals("Morvik1.5 Definitions Linux", c.product);
        assertEquals("1.0 English VirusDef", c.version + " " + c.language + " " + c.contentType);
        assertEquals("2009 3 15 12", c.stampYear + " " + c.stampMonth + " " + c.stampDay + " " + c.stampRevision);
        assertEquals(false, c.debug);
        assertEquals(null, c.configPath);
    }

    static Stream<Arguments> fullOptions() {
        return Stream.of(Arguments.of("-d " + FULL, true, null),
                         Arguments.of("--config /x/s.conf -d " + FULL, true, "/x/s.conf"),
                         Arguments.of("--config=/x/s.conf " + FULL, false, "/x/s.conf"),
                         Arguments.of("-d --config=rel.conf " + FULL, true, "rel.conf"));
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource("fullOptions")
    void optionsBeforeTheGroup(String text, boolean debug, String config) throws Exception {
        CommandLine c = CommandLine.parse(words(text));
        assertEquals(debug, c.debug);
        assertEquals(config, c.configPath);
        assertEquals("Morvik1.5 Definitions Linux", c.product);
    }

    @Test
    void microdefsGroups() throws Exception {
        CommandLine c = CommandLine.parse(micro("MailScanner", "MicroDefsB.Mar", "90310001", "90315012"));
        assertEquals(CommandLine.Mode.MICRODEFS, c.mode);
        assertEquals("MailScanner", c.product);
        assertEquals("MicroDefsB.Mar", c.channel);
        assertEquals(90310001L, c.hubSequence);
        assertEquals(90315012L, c.newestSequence);
    }

    @Test
    void microdefsErrorChannelWithUnknownSequences() throws Exception {
        CommandLine c = CommandLine.parse(micro("P", "MicroDefsB.Error", "0", "0"));
        assertEquals(0L, c.hubSequence);
        assertEquals(0L, c.newestSequence);
    }

    @Test
    void productWithBlanksArrivesAsOneWordInMicrodefs() throws Exception {
        String[] argv = micro("X", "MicroDefsB.Old", "0", "1001231999");
        for (int i = 0; i < argv.length; ++i)
            if (argv[i].equals("X"))
                argv[i] = "Web Shield";
        CommandLine c = CommandLine.parse(argv);
        assertEquals("Web Shield", c.product);
        assertEquals(1001231999L, c.newestSequence);
    }

    static Stream<Arguments> refused() {
        String m = String.join(" ", micro("P", "MicroDefsB.Mar", "90310001", "90315012"));
        return Stream.of(Arguments.of("nothing", ""),
                         Arguments.of("unknown option", "-x " + FULL),
                         Arguments.of("the -l value -g", "-g " + FULL),
                         Arguments.of("--config without a file", "--config " + FULL),
                         Arguments.of("two groups", FULL + " " + FULL),
                         Arguments.of("unclosed group", FULL.replace(" ]", "")),
                         Arguments.of("group inside a group", "[ -p a [ -v 1 ] ]"),
                         Arguments.of("word between groups", m.replaceFirst("\\] \\[", "] x [")),
                         Arguments.of("word after the group", FULL + " x"),
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
                         Arguments.of("languages differ", m.replaceFirst("TvlAllLanguages", "English")),
                         Arguments.of("-d after the groups", m + " -d"));
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource("refused")
    void anythingElseIsAUsageError(String name, String text) {
        Failure f = assertThrows(Failure.class, () -> CommandLine.parse(words(text)));
        assertEquals(Failure.Kind.USAGE, f.kind, f.getMessage());
    }
}
