package skyfetcher;

import static org.junit.jupiter.api.Assertions.assertEquals;

import java.io.IOException;
import java.net.*;
import java.nio.charset.StandardCharsets;
import java.nio.file.*;
import java.nio.file.attribute.PosixFileAttributes;
import java.time.LocalDate;
import java.util.*;
import java.util.concurrent.TimeUnit;
import java.util.stream.Stream;
import org.junit.jupiter.api.Assumptions;

/**
 * A sandbox store driven by the real qordefutil test build, which starts the
 * real java with the real jsf.jar against a mirror made by the real
 * qordefpublish. CTest passes the programs' paths as system properties.
 */
final class Rig {
    static final String PRODUCT = "Morvik1.5 Definitions Linux";
    final Path root, sets, repo, mirror, state, etc, base, defs;

    record Run(int status, String out, String err) {
        @Override
        public String toString() { return "exit " + status + "\nstdout:\n" + out + "\nstderr:\n" + err; }
    }

    Rig(Path root) throws Exception {
        this.root = root;
        sets = root.resolve("sets");
        repo = root.resolve("repo");
        mirror = root.resolve("mirror");
        state = root.resolve("state");
        etc = Files.createDirectories(root.resolve("etc"));
        base = root.resolve("base");
        defs = base.resolve("virusdefs");
        Files.createDirectories(base.resolve("Skyfetcher"));
        Files.createSymbolicLink(base.resolve("Skyfetcher/jsf.jar"), Paths.get(property("skyfetcher.jar")));
        Files.writeString(etc.resolve("Tarvolix.conf"), "[Tarvolix Shared]\nBaseDir=" + base + "\n");
        publish("init", "--repo", repo.toString(), "--mirror", mirror.toString());
    }

    static String property(String name) {
        return Objects.requireNonNull(System.getProperty(name), name + " is not set (run the tests through CTest)");
    }

    void configure(URI... mirrors) throws IOException {
        StringBuilder c = new StringBuilder();
        for (URI m : mirrors) c.append("mirror = ").append(m).append('\n');
        Files.writeString(root.resolve("skyfetcher.conf"), c + "trusted_root = " + mirror.resolve("metadata/1.root.json")
                                                               + "\nstate_dir = " + state + "\nstall_timeout = 3\n");
    }

    /**
     * A set dated months before today: dated 32-byte headers, a 40 KB data
     * file that differs a little from set to set (so deltas are small), and
     * a catalog whose hub sections list every file.
     */
    Path makeSet(String name, int monthsAgo, int day) throws IOException {
        LocalDate d = LocalDate.now().minusMonths(monthsAgo);
        Path dir = Files.createDirectories(sets.resolve(name));
        String stamp = setName(monthsAgo, day);
        for (String f : List.of("virscan1", "virscant")) {
            byte[] b = new byte[64];
            b[4] = 1;
            b[8] = (byte) d.getMonthValue();
            b[9] = (byte) day;
            b[10] = (byte) (d.getYear() - 1900);
            byte[] t = (f + " of " + stamp).getBytes(StandardCharsets.US_ASCII);
            System.arraycopy(t, 0, b, 32, t.length);
            Files.write(dir.resolve(f + ".dat"), b);
        }
        StringBuilder data = new StringBuilder();
        for (int i = 1; i <= 3000; ++i) data.append("signature " + i + (i % 50 == 0 ? " of " + stamp : "") + "\n");
        Files.writeString(dir.resolve("defs1.dat"), data);
        Files.writeString(dir.resolve("catalog.dat"), "[Files]\nvirscan1.dat\nvirscant.dat\ncatalog.dat\ndefs1.dat\n"
                                                          + "[Binary Hub Files - Linux]\nvirscan1.dat\n"
                                                          + "[Binary Hub Files - Common]\ncatalog.dat\ndefs1.dat\n"
                                                          + "virscant.dat\n[Text Hub Files]\nvirscant.dat\n");
        return dir;
    }

    static String setName(int monthsAgo, int day) {
        LocalDate d = LocalDate.now().minusMonths(monthsAgo);
        return String.format("%04d%02d%02d.001", d.getYear(), d.getMonthValue(), day);
    }

    void publish(String... args) throws Exception {
        List<String> cmd = new ArrayList<>(List.of(property("skyfetcher.publish")));
        cmd.addAll(List.of(args));
        Run r = exec(new ProcessBuilder(cmd));
        assertEquals(0, r.status(), r.toString());
    }

    void publishSet(String name, int monthsAgo, int day) throws Exception {
        publish("add", "--repo", repo.toString(), "--product", PRODUCT, makeSet(name, monthsAgo, day).toString());
    }

    /** qordefutil with the sandbox configuration, the real java first on PATH and the patch library. */
    Run store(String... args) throws Exception {
        List<String> cmd = new ArrayList<>(List.of(property("skyfetcher.cli")));
        cmd.addAll(List.of(args));
        ProcessBuilder pb = new ProcessBuilder(cmd);
        Map<String, String> env = pb.environment();
        env.remove("CLASSPATH");
        env.remove("JSFDEBUG");
        env.put("QORDEFUTIL_SANDBOX_TARVOLIX_CONF", etc.resolve("Tarvolix.conf").toString());
        env.put("QORDEFUTIL_SANDBOX_DEFUTILS_CONF", etc.resolve("tvlx-defutils.conf").toString());
        // A group this process may always chown to: that of a directory it made.
        env.put("QORDEFUTIL_SANDBOX_GROUP", Files.readAttributes(etc, PosixFileAttributes.class).group().getName());
        env.put("PATH", Paths.get(property("skyfetcher.java")).toRealPath().getParent() + ":/usr/bin:/bin");
        env.put("LD_LIBRARY_PATH", Paths.get(property("skyfetcher.patchlib")).getParent().toString());
        env.put("SKYFETCHER_CONFIG", root.resolve("skyfetcher.conf").toString());
        return exec(pb);
    }

    Run storeOk(String... args) throws Exception {
        Run r = store(args);
        assertEquals(0, r.status(), r.toString());
        return r;
    }

    Run exec(ProcessBuilder pb) throws Exception {
        Path out = root.resolve("run.out"), err = root.resolve("run.err");
        Process p = pb.redirectOutput(out.toFile()).redirectError(err.toFile()).start();
        if (!p.waitFor(300, TimeUnit.SECONDS))
            p.destroyForcibly().waitFor();
        return new Run(p.exitValue(), Files.readString(out), Files.readString(err));
    }

    /** A published file whose name contains part: "HASH.NAME" for set files, or a package name part. */
    Path inMirror(String part) throws IOException {
        try (Stream<Path> walk = Files.walk(mirror.resolve("targets"))) {
            return walk.filter(p -> p.getFileName().toString().contains(part)).findFirst().orElseThrow();
        }
    }

    String curDefs() { return LocalStore.profileValue(defs.resolve("definfo.dat"), "DefDates", "CurDefs"); }

    /** Path, size and hash of everything the store holds, hub state included: a refused update changes none. */
    String storeState() throws Exception {
        StringBuilder s = new StringBuilder();
        try (Stream<Path> walk = Stream.concat(Files.walk(defs), Stream.of(etc.resolve("tvlx-defutils.conf")))) {
            for (Path p : (Iterable<Path>) walk.sorted()::iterator) {
                s.append(root.relativize(p));
                if (Files.isRegularFile(p, LinkOption.NOFOLLOW_LINKS))
                    s.append(' ').append(Files.size(p)).append(' ').append(Hashes.hex(Hashes.sha256(p)));
                s.append('\n');
            }
        }
        return s.toString();
    }

    static void flipByte(Path file, int offset) throws IOException {
        byte[] b = Files.readAllBytes(file);
        b[offset] ^= 1;
        Files.write(file, b);
    }

    /**
     * Debian's nginx serving a directory on 127.0.0.1, in the foreground as
     * a child of the test so it always stops with it. When it cannot be
     * started the test is aborted (reported as skipped), never passed.
     */
    record Nginx(Process process, URI url) implements AutoCloseable {
        static Nginx serve(Path root, Path work) throws Exception {
            String binary = property("skyfetcher.nginx"), temps = "";
            Path conf = work.resolve("nginx.conf"), errors = work.resolve("error.log");
            for (String t : List.of("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
                temps += t + "_temp_path " + Files.createDirectories(work.resolve("tmp/" + t)) + "; ";
            // Another process may take the free port before nginx binds it.
            for (int attempt = 0; attempt < 5; ++attempt) {
                int port = freePort();
                Files.writeString(conf, (System.getProperty("user.name").equals("root") ? "user root; " : "")
                                            + "daemon off; worker_processes 1; pid " + work.resolve("nginx.pid")
                                            + "; events { worker_connections 64; } http { access_log off; " + temps
                                            + "server { listen 127.0.0.1:" + port + "; root " + root + "; } }\n");
                Process p;
                try {
                    p = new ProcessBuilder(binary, "-p", work.toString(), "-c", conf.toString(), "-e", errors.toString())
                            .redirectErrorStream(true)
                            .redirectOutput(work.resolve("stdout.log").toFile())
                            .start();
                } catch (IOException e) {
                    return Assumptions.abort("nginx could not be started (" + binary + "): " + e.getMessage());
                }
                for (int i = 0; i < 100 && p.isAlive(); ++i) {
                    try (Socket s = new Socket()) {
                        s.connect(new InetSocketAddress("127.0.0.1", port), 200);
                        return new Nginx(p, URI.create("http://127.0.0.1:" + port + "/"));
                    } catch (IOException e) {
                        Thread.sleep(50);
                    }
                }
                p.destroyForcibly().waitFor();
            }
            return Assumptions.abort("nginx could not be started: " + (Files.exists(errors) ? Files.readString(errors) : ""));
        }

        @Override
        public void close() throws Exception {
            process.destroy();
            if (!process.waitFor(10, TimeUnit.SECONDS))
                process.destroyForcibly().waitFor();
        }
    }

    static int freePort() throws IOException {
        try (ServerSocket s = new ServerSocket(0, 1, InetAddress.getByName("127.0.0.1"))) {
            return s.getLocalPort();
        }
    }
}
