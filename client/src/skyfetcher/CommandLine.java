package skyfetcher;

import java.util.ArrayList;
import java.util.List;
import java.util.regex.Pattern;

/**
 * The command line, exactly as the store builds it.
 *
 * Full update (the store's -l command), one group; the product name arrives
 * unquoted, so the shell splits it into several words:
 *
 *   [options] [-d] [ -p WORDS... -v VERSION -l LANGUAGE -z YYYYMMDDRR -t TYPE ]
 *
 * Microdefs (the store's -m command), three groups with quoted values:
 *
 *   [ -p PRODUCT -v CHANNEL -l LANG -t HubDefs -z HUBSEQ ]
 *   [ -p PRODUCT -v CHANNEL -l LANG -t CurDefs -z NEWSEQ ]
 *   [ -p PRODUCT -v MicroDefsB.CurDefs -l LANG -t CurDefs -z NEWSEQ ]
 *
 * Options come before the first group: "-d" (debug output) and
 * "--config FILE" / "--config=FILE"; they are how the optional value of the
 * store's -l reaches the client. Nothing is guessed: a word out of place, a
 * missing or repeated field, or a value of the wrong form is a usage error.
 */
public final class CommandLine {
    public enum Mode { FULL, MICRODEFS }

    public Mode mode;
    public boolean debug;
    public String configPath;
    public String product;
    public String version;
    public String language;
    public String contentType;

    /** Full update: the newest set's stamp, year, month, day, revision (capped at 99). */
    public int stampYear, stampMonth, stampDay, stampRevision;

    /** Microdefs: channel of the first two groups and the two sequence numbers (0: unknown). */
    public String channel;
    public long hubSequence;
    public long newestSequence;

    static final String CURDEFS_CHANNEL = "MicroDefsB.CurDefs";
    private static final Pattern STAMP = Pattern.compile("[0-9]{10}");
    private static final Pattern SEQUENCE = Pattern.compile("0|[1-9][0-9]{0,9}");
    private static final Pattern CHANNEL =
        Pattern.compile("MicroDefsB\\.(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec|Old|Error)");
    private static final String[] KEYS = {"-p", "-v", "-l", "-z", "-t"};

    private CommandLine() {}

    public static CommandLine parse(String[] argv) throws Failure {
        CommandLine a = new CommandLine();
        int i = 0;
        while (i < argv.length && !argv[i].equals("[")) {
            String word = argv[i++];
            if (word.equals("-d")) {
                a.debug = true;
            } else if (word.equals("--config")) {
                if (i >= argv.length || argv[i].isEmpty() || argv[i].equals("["))
                    throw Failure.usage("--config needs a file name");
                a.configPath = argv[i++];
            } else if (word.startsWith("--config=") && word.length() > "--config=".length()) {
                a.configPath = word.substring("--config=".length());
            } else {
                throw Failure.usage("unexpected argument \"" + word + "\" before the first group");
            }
        }
        List<String[]> groups = new ArrayList<>();
        while (i < argv.length) {
            if (!argv[i].equals("["))
                throw Failure.usage("unexpected argument \"" + argv[i] + "\" between groups");
            int start = ++i;
            while (i < argv.length && !argv[i].equals("]")) {
                if (argv[i].equals("["))
                    throw Failure.usage("a group opened inside a group");
                ++i;
            }
            if (i >= argv.length)
                throw Failure.usage("a group is not closed with \"]\"");
            groups.add(fields(argv, start, i));
            ++i;
        }
        if (groups.size() == 1) {
            a.full(groups.get(0));
        } else if (groups.size() == 3) {
            a.microdefs(groups);
        } else {
            throw Failure.usage("expected one argument group (full update) or three (microdefs), got "
                                + groups.size());
        }
        return a;
    }

    /** Splits one group into its five fields (in KEYS order); multi-word values are joined by one blank. */
    private static String[] fields(String[] argv, int start, int end) throws Failure {
        String[] values = new String[KEYS.length];
        int i = start;
        while (i < end) {
            int key = keyIndex(argv[i]);
            if (key < 0)
                throw Failure.usage("unexpected \"" + argv[i] + "\" in a group");
            if (values[key] != null)
                throw Failure.usage(KEYS[key] + " given twice in a group");
            StringBuilder value = new StringBuilder();
            ++i;
            while (i < end && keyIndex(argv[i]) < 0) {
                if (value.length() > 0)
                    value.append(' ');
                value.append(argv[i++]);
            }
            if (value.length() == 0)
                throw Failure.usage(KEYS[key] + " has no value");
            values[key] = value.toString();
        }
        for (int k = 0; k < KEYS.length; ++k)
            if (values[k] == null)
                throw Failure.usage("a group lacks " + KEYS[k]);
        return values;
    }

    private static int keyIndex(String word) {
        for (int k = 0; k < KEYS.length; ++k)
            if (KEYS[k].equals(word))
                return k;
        return -1;
    }

    private void full(String[] g) throws Failure {
        mode = Mode.FULL;
        product = g[0];
        version = g[1];
        language = g[2];
        contentType = g[4];
        if (!STAMP.matcher(g[3]).matches())
            throw Failure.usage("-z \"" + g[3] + "\" is not a ten-digit stamp YYYYMMDDRR");
        stampYear = Integer.parseInt(g[3].substring(0, 4));
        stampMonth = Integer.parseInt(g[3].substring(4, 6));
        stampDay = Integer.parseInt(g[3].substring(6, 8));
        stampRevision = Integer.parseInt(g[3].substring(8, 10));
    }

    private void microdefs(List<String[]> groups) throws Failure {
        mode = Mode.MICRODEFS;
        String[] hub = groups.get(0), cur = groups.get(1), direct = groups.get(2);
        product = hub[0];
        language = hub[2];
        channel = hub[1];
        for (String[] g : groups) {
            if (!g[0].equals(product))
                throw Failure.usage("the groups name different products");
            if (!g[2].equals(language))
                throw Failure.usage("the groups name different languages");
        }
        if (!CHANNEL.matcher(channel).matches())
            throw Failure.usage("unknown channel \"" + channel + "\"");
        if (!cur[1].equals(channel))
            throw Failure.usage("the first two groups name different channels");
        if (!direct[1].equals(CURDEFS_CHANNEL))
            throw Failure.usage("the third group's channel is not " + CURDEFS_CHANNEL);
        if (!hub[4].equals("HubDefs") || !cur[4].equals("CurDefs") || !direct[4].equals("CurDefs"))
            throw Failure.usage("the groups' contents are not HubDefs, CurDefs, CurDefs");
        hubSequence = sequence(hub[3]);
        newestSequence = sequence(cur[3]);
        if (sequence(direct[3]) != newestSequence)
            throw Failure.usage("the second and third groups give different sequence numbers");
    }

    private static long sequence(String text) throws Failure {
        if (!SEQUENCE.matcher(text).matches())
            throw Failure.usage("-z \"" + text + "\" is not a sequence number");
        long n = Long.parseLong(text);
        if (n != 0 && !Sequence.isValid(n))
            throw Failure.usage("-z \"" + text + "\" is not a valid sequence number");
        return n;
    }
}
