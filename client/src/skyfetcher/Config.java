package skyfetcher;

import java.io.IOException;
import java.net.URI;
import java.net.URISyntaxException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.HashSet;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.Set;

/**
 * The client's configuration file: "key = value" lines, '#' starts a comment
 * line, blank lines are ignored. Relative paths are taken from the file's
 * own directory. Unknown keys are errors, so a misspelt setting cannot
 * silently fall back to its default. The sample in client/skyfetcher.conf
 * documents every key.
 *
 * Found at: the --config option, else $SKYFETCHER_CONFIG, else
 * /etc/qordefutil/skyfetcher.conf.
 */
public final class Config {
    public static final String DEFAULT_PATH = "/etc/qordefutil/skyfetcher.conf";
    public static final String ENVIRONMENT_VARIABLE = "SKYFETCHER_CONFIG";

    public final List<URI> mirrors = new ArrayList<>();
    public Path trustedRoot = Paths.get("/etc/qordefutil/root.json");
    public Path stateDir = Paths.get("/var/lib/qordefutil/skyfetcher");
    public int connectTimeoutSeconds = 15;
    public int stallTimeoutSeconds = 30;
    /** Longest Retry-After honoured; a server asking for more is skipped. */
    public int maxRetryAfterSeconds = 300;
    /** How often one file is retried after 429 or 503 on the same mirror. */
    public int retries = 3;
    /** Java system properties to set, for proxies (http.proxyHost, ...). */
    public final Map<String, String> properties = new LinkedHashMap<>();

    /** Chooses the file as documented above. */
    public static Path locate(String option, Map<String, String> env) {
        if (option != null)
            return Paths.get(option);
        String fromEnv = env.get(ENVIRONMENT_VARIABLE);
        if (fromEnv != null && !fromEnv.isEmpty())
            return Paths.get(fromEnv);
        return Paths.get(DEFAULT_PATH);
    }

    public static Config load(Path file) throws Failure {
        byte[] bytes;
        try {
            bytes = Files.readAllBytes(file);
        } catch (IOException e) {
            throw Failure.config("cannot read the configuration " + file + ": " + e.getMessage());
        }
        Path base = file.toAbsolutePath().getParent();
        return parse(new String(bytes, StandardCharsets.UTF_8), base, file.toString());
    }

    static Config parse(String text, Path base, String name) throws Failure {
        Config c = new Config();
        Set<String> seen = new HashSet<>();
        String[] lines = text.split("\n", -1);
        for (int n = 0; n < lines.length; ++n) {
            String line = lines[n].strip();
            if (line.isEmpty() || line.startsWith("#"))
                continue;
            String where = name + ":" + (n + 1) + ": ";
            int eq = line.indexOf('=');
            if (eq <= 0)
                throw Failure.config(where + "expected \"key = value\"");
            String key = line.substring(0, eq).strip();
            String value = line.substring(eq + 1).strip();
            if (value.isEmpty())
                throw Failure.config(where + key + " has no value");
            if (!key.equals("mirror") && !key.startsWith("property.") && !seen.add(key))
                throw Failure.config(where + key + " is given twice");
            switch (key) {
                case "mirror":
                    c.mirrors.add(mirror(value, where));
                    break;
                case "trusted_root":
                    c.trustedRoot = base.resolve(value);
                    break;
                case "state_dir":
                    c.stateDir = base.resolve(value);
                    break;
                case "connect_timeout":
                    c.connectTimeoutSeconds = number(value, 1, 3600, where + key);
                    break;
                case "stall_timeout":
                    c.stallTimeoutSeconds = number(value, 1, 3600, where + key);
                    break;
                case "max_retry_after":
                    c.maxRetryAfterSeconds = number(value, 0, 86400, where + key);
                    break;
                case "retries":
                    c.retries = number(value, 0, 100, where + key);
                    break;
                default:
                    if (key.startsWith("property.") && key.length() > "property.".length()) {
                        c.properties.put(key.substring("property.".length()), value);
                        break;
                    }
                    throw Failure.config(where + "unknown key \"" + key + "\"");
            }
        }
        if (c.mirrors.isEmpty())
            throw Failure.config(name + ": no mirror configured");
        return c;
    }

    private static URI mirror(String value, String where) throws Failure {
        String text = value.endsWith("/") ? value : value + "/";
        try {
            URI uri = new URI(text);
            String scheme = uri.getScheme();
            if (scheme == null || !(scheme.equals("http") || scheme.equals("https")) || uri.getHost() == null
                || uri.getRawQuery() != null || uri.getRawFragment() != null)
                throw Failure.config(where + "mirror must be an http or https URL without query: " + value);
            return uri;
        } catch (URISyntaxException e) {
            throw Failure.config(where + "mirror is not a URL: " + value);
        }
    }

    private static int number(String value, int min, int max, String what) throws Failure {
        try {
            int v = Integer.parseInt(value);
            if (v >= min && v <= max)
                return v;
        } catch (NumberFormatException e) {
            // reported below
        }
        throw Failure.config(what + " must be a whole number from " + min + " to " + max);
    }
}
