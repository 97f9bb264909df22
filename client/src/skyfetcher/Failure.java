package skyfetcher;

/**
 * A failure that ends the run, with the class of problem that decides the
 * exit status. Everything the client refuses or cannot do is reported as one
 * of these; main turns it into one message line and the status.
 */
public final class Failure extends Exception {
    private static final long serialVersionUID = 1L;

    /** Exit statuses; 0 (success, including nothing to do) is not a failure. */
    public enum Kind {
        INTERNAL(1),
        USAGE(2),
        CONFIG(3),
        NETWORK(4),
        VERIFICATION(5),
        LOCAL(6),
        UNAVAILABLE(7);

        public final int status;

        Kind(int status) {
            this.status = status;
        }
    }

    public final Kind kind;

    public Failure(Kind kind, String message) {
        super(message);
        this.kind = kind;
    }

    public Failure(Kind kind, String message, Throwable cause) {
        super(message, cause);
        this.kind = kind;
    }

    public static Failure usage(String message) {
        return new Failure(Kind.USAGE, message);
    }

    public static Failure config(String message) {
        return new Failure(Kind.CONFIG, message);
    }

    public static Failure network(String message) {
        return new Failure(Kind.NETWORK, message);
    }

    public static Failure verification(String message) {
        return new Failure(Kind.VERIFICATION, message);
    }

    public static Failure local(String message) {
        return new Failure(Kind.LOCAL, message);
    }
}
