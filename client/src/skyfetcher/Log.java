package skyfetcher;

import java.io.PrintStream;

/** One line per step on standard error; the detail lines, timed, only with -d. */
public final class Log {
    private final PrintStream out;
    private final boolean debug;
    private final long start = System.nanoTime();

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
            // Milliseconds since the start, to see where a slow run waits.
            out.println("skyfetcher: debug: +" + (System.nanoTime() - start) / 1_000_000 + " ms " + message);
            out.flush();
        }
    }

    public boolean debugging() {
        return debug;
    }
}
