package skyfetcher;

import static org.junit.jupiter.api.Assertions.*;

import java.io.IOException;
import java.net.*;
import java.nio.file.*;
import java.nio.file.attribute.PosixFileAttributes;
import java.time.*;
import java.util.*;
import java.util.concurrent.TimeUnit;
import java.util.regex.Pattern;
import java.util.stream.*;
import org.junit.jupiter.api.*;
import org.junit.jupiter.api.function.ThrowingConsumer;
import org.junit.jupiter.api.io.TempDir;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.*;

// The real qordefutil, java and jsf.jar against a real qordefpublish mirror on nginx or, for faults, the JDK's server.
class EndToEndTest {
    static final String PRODUCT = "Morvik1.5 Definitions Linux";
    @TempDir Path tmp;
    Path mirror, etc, defs;
    TestServer server;

    @BeforeEach
    void setUp() throws Exception {
        mirror = tmp.resolve("mirror");
        etc = Files.createDirectories(tmp.resolve("etc"));
        defs = tmp.resolve("base/virusdefs");
        Files.createDirectories(tmp.resolve("base/Skyfetcher"));
        Files.createSymbolicLink(tmp.resolve("base/Skyfetcher/jsf.jar"), Paths.get(property("skyfetcher.jar")));
        Files.writeString(etc.resolve("Tarvolix.conf"), "[Tarvolix Shared]\nBaseDir=" + tmp.resolve("base") + "\n");
        publish("init", "--mirror", mirror.toString());
        server = new TestServer(mirror);
        configure(server.url("/"));
        // The store must already hold a dated set: -l reports its stamp.
        store(0, "-i", makeSet("Z", 4, 1).toString());
        publishSet("A", 3, 10);
    }

    @AfterEach
    void tearDown() { server.close(); }

    @Test
    void fullUpdateResumesACutDownloadThenFindsNothingToDoOnTheNextMirror() throws Exception {
        // The connection drops mid-file: the store is untouched, what came is kept for the next run.
        byte[] data = Files.readAllBytes(tmp.resolve("sets/A/defs1.dat"));
        String state = storeState();
        server.on("/" + mirror.relativize(mirrored("A/defs1.dat")), TestServer.cutAfter(data, 10_000, 0));
        store(9, "-l");
        assertEquals(state, storeState());
        assertEquals(10_000, Files.size(tmp.resolve("state/partial/" + Hashes.hex(Hashes.sha256(data)) + ".part")));
        try (Nginx nginx = Nginx.serve(mirror, tmp.resolve("nginx"))) {
            configure(nginx.url());
            store(0, "-l");
        }
        assertTrue(Files.readString(tmp.resolve("nginx/access.log")).contains("\" 206 "), "the rest came as a range");
        assertEquals(List.of(), Arrays.asList(tmp.resolve("state/partial").toFile().list()));
        assertEquals(setName(3, 10), curDefs());
        assertEquals(digest("sets/A"), digest("base/virusdefs/binhub"), "the hub is primed from the downloaded set");

        // A mirror that is down is passed over for the next one.
        URI down = URI.create("http://127.0.0.1:" + freePort() + "/");
        configure(down, server.url("/"));
        int before = server.requests().size();
        state = storeState();
        String err = store(0, "-l");
        assertTrue(err.contains("mirror " + down + " refused") && err.contains("already up to date"), err);
        assertEquals(state, storeState());
        assertEquals(List.of("GET /metadata/2.root.json", "GET /metadata/timestamp.json"),
                     server.requests().subList(before, server.requests().size()),
                     "an unchanged mirror costs one small request besides the root check");
    }

    @Test
    void microdefsMoveTheStoreThroughAHubThenADirectPackage() throws Exception {
        store(0, "-l");
        publishSet("B", 3, 20);
        List<String> fetched = targetsFetched("-m", PRODUCT);
        assertTrue(fetched.size() == 1 && fetched.get(0).contains(".binhub-"), fetched.toString());
        assertEquals(setName(3, 20), curDefs());
        assertEquals(digest("sets/B"), digest("base/virusdefs/binhub"));

        // A hub that matches no package's source leaves only the direct package.
        Files.writeString(defs.resolve("binhub/defs1.dat"), "damaged\n", StandardOpenOption.APPEND);
        publishSet("C", 2, 5);
        fetched = targetsFetched("-m", PRODUCT);
        assertTrue(fetched.size() == 1 && fetched.get(0).contains(".direct-"), fetched.toString());
        assertEquals(setName(2, 5), curDefs());
        assertEquals(digest("sets/C"), digest("base/virusdefs/" + setName(2, 5)));

        String state = storeState();
        assertEquals(List.of(), targetsFetched("-m", PRODUCT));
        assertEquals(state, storeState());
    }

    interface Attack extends ThrowingConsumer<EndToEndTest> {}

    static Arguments row(String name, String cmd, String why, Attack a) { return Arguments.of(name, cmd, why, a); }

    static final Pattern SIG = Pattern.compile("(?<=\"sig\":\")[0-9a-f]");

    // Each starts from a store that holds set A: the attack, then the command refused and why.
    static Stream<Arguments> attacks() {
        return Stream.of(
            row("tampered target", "-l", "SHA-256 does not match",
                t -> { t.publishSet("B", 3, 20); flipByte(t.mirrored("B/defs1.dat"), 100); }),
            row("tampered package", "-m", "SHA-256 does not match", t -> {
                t.publishSet("B", 3, 20);
                flipByte(t.inMirror(".binhub-" + setName(3, 10).substring(2, 8) + "001-"), 40);
            }),
            row("bad signature", "-l", "valid timestamp signature", t -> Files.writeString(t.timestamp(),
                SIG.matcher(Files.readString(t.timestamp())).replaceFirst(c -> c.group().equals("0") ? "1" : "0"))),
            row("rolled-back metadata", "-l", "(rollback)", t -> {
                byte[] old = Files.readAllBytes(t.timestamp());
                t.publish("refresh");
                t.store(0, "-l");
                Files.write(t.timestamp(), old);
            }),
            row("expired timestamp", "-l", "(freeze)", t -> t.publish("refresh", "--now",
                Instant.ofEpochSecond(Instant.now().getEpochSecond() - 2 * 86400).toString())));
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource("attacks")
    void refusedAndTheStoreStaysAsItWas(String name, String command, String reason, Attack attack) throws Throwable {
        store(0, "-l");
        String state = storeState();
        attack.accept(this);
        String err = command.equals("-l") ? store(9, "-l") : store(9, "-m", PRODUCT);
        assertTrue(err.contains(reason), err);
        assertEquals(state, storeState());
    }

    static String property(String name) { return Objects.requireNonNull(System.getProperty(name), name + " unset"); }

    void configure(URI... mirrors) throws IOException {
        String c = Arrays.stream(mirrors).map(m -> "mirror = " + m + "\n").collect(Collectors.joining());
        Files.writeString(tmp.resolve("skyfetcher.conf"), c + "trusted_root = " + mirror.resolve("metadata/1.root.json")
                                                              + "\nstate_dir = " + tmp.resolve("state")
                                                              + "\nstall_timeout = 3\n");
    }

    // Dated headers, a data file that differs a little from set to set (so deltas are small), a full hub catalog.
    Path makeSet(String name, int monthsAgo, int day) throws IOException {
        LocalDate d = LocalDate.now().minusMonths(monthsAgo);
        Path dir = Files.createDirectories(tmp.resolve("sets/" + name));
        String stamp = setName(monthsAgo, day);
        for (String f : List.of("virscan1", "virscant")) {
            // Revision 1 at offset 4, then month, day and years since 1900 at offset 8.
            byte[] header = {0, 0, 0, 0, 1, 0, 0, 0, (byte) d.getMonthValue(), (byte) day, (byte) (d.getYear() - 1900)};
            Files.write(dir.resolve(f + ".dat"), Arrays.copyOf(header, 32));
            Files.writeString(dir.resolve(f + ".dat"), f + " of " + stamp, StandardOpenOption.APPEND);
        }
        Files.writeString(dir.resolve("defs1.dat"), IntStream.rangeClosed(1, 3000).mapToObj(i -> "signature " + i
            + (i % 50 == 0 ? " of " + stamp : "") + "\n").collect(Collectors.joining()));
        Files.writeString(dir.resolve("catalog.dat"), "[Files]\nvirscan1.dat\nvirscant.dat\ncatalog.dat\ndefs1.dat\n"
            + "[Binary Hub Files - Linux]\nvirscan1.dat\n[Binary Hub Files - Common]\ncatalog.dat\ndefs1.dat\n"
            + "virscant.dat\n[Text Hub Files]\nvirscant.dat\n");
        return dir;
    }

    static String setName(int monthsAgo, int day) {
        LocalDate d = LocalDate.now().minusMonths(monthsAgo);
        return String.format("%04d%02d%02d.001", d.getYear(), d.getMonthValue(), day);
    }

    void publish(String command, String... args) throws Exception {
        List<String> cmd = new ArrayList<>(List.of(property("skyfetcher.publish"), command, "--repo", tmp + "/repo"));
        cmd.addAll(List.of(args));
        exec(new ProcessBuilder(cmd), 0);
    }

    void publishSet(String name, int monthsAgo, int day) throws Exception {
        publish("add", "--product", PRODUCT, makeSet(name, monthsAgo, day).toString());
    }

    /** qordefutil with the sandbox configuration, the real java and the patch library; returns its stderr. */
    String store(int status, String... args) throws Exception {
        ProcessBuilder pb = new ProcessBuilder(property("skyfetcher.cli"));
        pb.command().addAll(List.of(args));
        pb.environment().keySet().removeAll(List.of("CLASSPATH", "JSFDEBUG"));
        // The group: one this process may always chown to, that of a directory it made.
        pb.environment().putAll(Map.of(
            "QORDEFUTIL_SANDBOX_TARVOLIX_CONF", etc + "/Tarvolix.conf",
            "QORDEFUTIL_SANDBOX_DEFUTILS_CONF", etc + "/tvlx-defutils.conf",
            "QORDEFUTIL_SANDBOX_GROUP", Files.readAttributes(etc, PosixFileAttributes.class).group().getName(),
            "PATH", Paths.get(property("skyfetcher.java")).toRealPath().getParent() + ":/usr/bin:/bin",
            "LD_LIBRARY_PATH", Paths.get(property("skyfetcher.patchlib")).getParent().toString(),
            "SKYFETCHER_CONFIG", tmp + "/skyfetcher.conf"));
        return exec(pb, status);
    }

    String exec(ProcessBuilder pb, int status) throws Exception {
        Path out = tmp.resolve("run.out"), err = tmp.resolve("run.err");
        Process p = pb.redirectOutput(out.toFile()).redirectError(err.toFile()).start();
        if (!p.waitFor(300, TimeUnit.SECONDS))
            p.destroyForcibly().waitFor();
        String stderr = Files.readString(err);
        assertEquals(status, p.exitValue(), "stdout:\n" + Files.readString(out) + "\nstderr:\n" + stderr);
        return stderr;
    }

    List<String> targetsFetched(String... command) throws Exception {
        int before = server.requests().size();
        store(0, command);
        List<String> all = server.requests();
        return all.subList(before, all.size()).stream().filter(q -> q.startsWith("GET /targets/")).toList();
    }

    Path inMirror(String part) throws IOException {
        try (Stream<Path> walk = Files.walk(mirror.resolve("targets"))) {
            return walk.filter(p -> p.getFileName().toString().contains(part)).findFirst().orElseThrow();
        }
    }

    Path mirrored(String f) throws Exception { return inMirror(Hashes.hex(Hashes.sha256(tmp.resolve("sets/" + f)))); }

    Path timestamp() { return mirror.resolve("metadata/timestamp.json"); }
    String digest(String dir) throws Failure { return LocalStore.digest(tmp.resolve(dir)); }
    String curDefs() { return LocalStore.profileValue(defs.resolve("definfo.dat"), "DefDates", "CurDefs"); }

    /** Path and hash of everything the store holds, hub state included: a refused update changes none. */
    String storeState() throws IOException {
        try (Stream<Path> walk = Stream.concat(Files.walk(defs), Stream.of(etc.resolve("tvlx-defutils.conf")))) {
            return walk.sorted().map(p -> tmp.relativize(p) + (Files.isRegularFile(p, LinkOption.NOFOLLOW_LINKS)
                ? " " + assertDoesNotThrow(() -> Hashes.hex(Hashes.sha256(p))) : "")).collect(Collectors.joining("\n"));
        }
    }

    static void flipByte(Path file, int offset) throws IOException {
        byte[] b = Files.readAllBytes(file);
        b[offset] ^= 1;
        Files.write(file, b);
    }

    static int freePort() throws IOException {
        try (ServerSocket s = new ServerSocket(0, 1, InetAddress.getByName("127.0.0.1"))) {
            return s.getLocalPort();
        }
    }

    // nginx in the foreground, so it stops with the test; if it cannot start, the test is skipped, never passed.
    record Nginx(Process process, URI url) implements AutoCloseable {
        static Nginx serve(Path root, Path work) throws Exception {
            String binary = property("skyfetcher.nginx"), temps = "";
            if (!Files.isExecutable(Paths.get(binary)))
                return skip("nginx not found: " + binary);
            Path conf = work.resolve("nginx.conf"), errors = work.resolve("error.log");
            for (String t : List.of("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
                temps += t + "_temp_path " + Files.createDirectories(work.resolve("tmp/" + t)) + "; ";
            int port = freePort();
            Files.writeString(conf, (System.getProperty("user.name").equals("root") ? "user root; " : "")
                                        + "daemon off; worker_processes 1; pid " + work + "/nginx.pid; events { "
                                        + "worker_connections 64; } http { access_log " + work + "/access.log; " + temps
                                        + "server { listen 127.0.0.1:" + port + "; root " + root + "; } }\n");
            Process p = new ProcessBuilder(binary, "-p", work + "", "-c", conf + "", "-e", errors + "")
                            .redirectErrorStream(true).redirectOutput(work.resolve("stdout.log").toFile()).start();
            for (int i = 0; i < 100 && p.isAlive(); ++i) {
                try (Socket s = new Socket()) {
                    s.connect(new InetSocketAddress("127.0.0.1", port), 200);
                    return new Nginx(p, URI.create("http://127.0.0.1:" + port + "/"));
                } catch (IOException e) {
                    Thread.sleep(50);
                }
            }
            p.destroyForcibly().waitFor();
            return skip("nginx did not start: " + (Files.exists(errors) ? Files.readString(errors) : ""));
        }

        static Nginx skip(String why) {
            System.out.println("skipped: " + why);
            return Assumptions.abort(why);
        }

        @Override
        public void close() throws Exception {
            process.destroy();
            if (!process.waitFor(10, TimeUnit.SECONDS))
                process.destroyForcibly().waitFor();
        }
    }
}
