package skyfetcher;

import java.io.PrintStream;

/** One line per step on standard error; the detail lines only with -d. */
public final class Log {
    private final PrintStream out;
    private final boolean debug;

    public Log(PrintStream out, boolean debug) {
        this.out = out;
        this.debug = debug;
    }

    public void step(String message) {
        out.println("skyfetcher: " + message);
        out.flush();
    }

    public void debug(String message) {
        if (debug) {
            out.println("skyfetcher: debug: " + message);
            out.flush();
        }
    }

    public boolean debugging() {
        return debug;
    }
}
