/**
 * The store starts the update client as "java Skyfetcher ARGUMENTS" with
 * jsf.jar on CLASSPATH, so the entry point must be this class in the
 * default package; everything else lives in package skyfetcher.
 */
public final class Skyfetcher {
    private Skyfetcher() {}

    public static void main(String[] args) {
        System.exit(skyfetcher.Main.run(args, System.getenv(), System.err));
    }
}
