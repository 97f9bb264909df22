package skyfetcher;

import java.io.PrintStream;
import java.time.Instant;
import java.util.Map;

/** Runs one invocation and maps its outcome to the exit status; nothing escapes. */
public final class Main {
    private Main() {}

    public static int run(String[] args, Map<String, String> env, PrintStream err) {
        Log log = new Log(err, false);
        try {
            CommandLine cl = CommandLine.parse(args);
            log = new Log(err, cl.debug);
            Config config = Config.load(Config.locate(cl.configPath, env));
            // Before the HTTP client exists: the default proxy selector
            // reads these properties.
            for (Map.Entry<String, String> p : config.properties.entrySet())
                System.setProperty(p.getKey(), p.getValue());
            Http http = new Http(config, log, Thread::sleep);
            new Updater(config, log, http, Instant.now()).run(cl, env);
            return 0;
        } catch (Failure f) {
            log.step("error: " + f.getMessage());
            return f.kind.status;
        } catch (RuntimeException | Error e) {
            log.step("internal error: " + e);
            return Failure.Kind.INTERNAL.status;
        }
    }
}
