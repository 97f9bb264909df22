package skyfetcher;

import static org.junit.jupiter.api.Assertions.assertEquals;

import java.io.IOException;
import java.net.URI;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.time.LocalDate;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import java.util.TreeMap;
import java.util.concurrent.TimeUnit;
import java.util.stream.Stream;

/**
 * End-to-end rig: a sandbox store driven by the real qordefutil test build,
 * which starts the real java with the real jsf.jar (linked at
 * BaseDir/Skyfetcher/jsf.jar) against a mirror made by the real
 * qordefpublish. Paths of the built programs come from system properties
 * set by CTest. Nothing outside the temporary directory is touched.
 */
final class Rig {
    static final String PRODUCT = "Morvik1.5 Definitions Linux";

    final Path root;
    final Path sets, repo, mirror, state, etc, base;

    /** The result of one program run. */
    record Run(int status, String out, String err) {
        @Override
        public String toString() {
            return "exit " + status + "\nstdout:\n" + out + "\nstderr:\n" + err;
        }
    }

    Rig(Path root) throws Exception {
        this.root = root;
        sets = root.resolve("sets");
        repo = root.resolve("repo");
        mirror = root.resolve("mirror");
        state = root.resolve("state");
        etc = root.resolve("etc");
        base = root.resolve("base");
        Files.createDirectories(sets);
        Files.createDirectories(etc);
        Files.createDirectories(base.resolve("Skyfetcher"));
        Files.createSymbolicLink(base.resolve("Skyfetcher/jsf.jar"), Paths.get(property("skyfetcher.jar")));
        Files.writeString(etc.resolve("Tarvolix.conf"), "[Tarvolix Shared]\nBaseDir=" + base + "\n");
        mustSucceed(publish("init", "--repo", repo.toString(), "--mirror", mirror.toString()));
    }

    static String property(String name) {
        String v = System.getProperty(name);
        if (v == null)
            throw new IllegalStateException("system property " + name + " is not set (run the tests through CTest)");
        return v;
    }

    Path defs() {
        return base.resolve("virusdefs");
    }

    /** Writes the client configuration for these mirror URLs. */
    void configure(List<URI> mirrors) throws IOException {
        StringBuilder c = new StringBuilder();
        for (URI m : mirrors) c.append("mirror = ").append(m).append('\n');
        c.append("trusted_root = ").append(mirror.resolve("metadata/1.root.json")).append('\n');
        c.append("state_dir = ").append(state).append('\n');
        c.append("connect_timeout = 5\nstall_timeout = 3\n");
        Files.writeString(root.resolve("skyfetcher.conf"), c.toString());
    }

    /**
     * A definition set dated months before today, in the store's layout: a
     * 32-byte dated header on virscan1.dat and virscant.dat, a data file of
     * about 40 KB that differs a little from set to set, and a catalog
     * whose hub sections list every file (so hub packages are published).
     */
    Path makeSet(String name, int monthsAgo, int day, int revision) throws IOException {
        LocalDate d = LocalDate.now().minusMonths(monthsAgo);
        Path dir = sets.resolve(name);
        Files.createDirectories(dir);
        String stamp = d.getYear() + "-" + d.getMonthValue() + "-" + day + "." + revision;
        Files.write(dir.resolve("virscan1.dat"), dated(d, day, revision, " main definitions of " + stamp + "\n"));
        Files.write(dir.resolve("virscant.dat"), dated(d, day, revision, " text definitions of " + stamp + "\n"));
        StringBuilder data = new StringBuilder();
        for (int i = 1; i <= 3000; ++i)
            data.append(i % 50 == 0 ? "signature " + i + " revised " + stamp + "\n" : "signature " + i + "\n");
        Files.writeString(dir.resolve("defs1.dat"), data);
        Files.writeString(dir.resolve("catalog.dat"),
                          "[Files]\nvirscan1.dat\nvirscant.dat\ncatalog.dat\ndefs1.dat\n"
                              + "[Binary Hub Files - Linux]\nvirscan1.dat\n"
                              + "[Binary Hub Files - Common]\ncatalog.dat\ndefs1.dat\nvirscant.dat\n"
                              + "[Text Hub Files]\nvirscant.dat\n");
        return dir;
    }

    static byte[] dated(LocalDate d, int day, int revision, String text) {
        byte[] t = text.getBytes(StandardCharsets.US_ASCII);
        byte[] b = new byte[32 + t.length];
        b[4] = (byte) revision;
        b[5] = (byte) (revision >> 8);
        b[8] = (byte) d.getMonthValue();
        b[9] = (byte) day;
        b[10] = (byte) (d.getYear() - 1900);
        System.arraycopy(t, 0, b, 32, t.length);
        return b;
    }

    static String setName(int monthsAgo, int day, int revision) {
        LocalDate d = LocalDate.now().minusMonths(monthsAgo);
        return String.format("%04d%02d%02d.%03d", d.getYear(), d.getMonthValue(), day, revision);
    }

    Run publish(String... args) throws Exception {
        List<String> cmd = new ArrayList<>(List.of(property("skyfetcher.publish")));
        cmd.addAll(List.of(args));
        return exec(cmd, Map.of());
    }

    void publishSet(Path set) throws Exception {
        mustSucceed(publish("add", "--repo", repo.toString(), "--product", PRODUCT, set.toString()));
    }

    /** qordefutil with the sandbox configuration, the real java first on PATH and the patch library. */
    Run store(String... args) throws Exception {
        List<String> cmd = new ArrayList<>(List.of(property("skyfetcher.cli")));
        cmd.addAll(List.of(args));
        Path java = Paths.get(property("skyfetcher.java")).toRealPath();
        Map<String, String> env = new TreeMap<>();
        env.put("QORDEFUTIL_SANDBOX_TARVOLIX_CONF", etc.resolve("Tarvolix.conf").toString());
        env.put("QORDEFUTIL_SANDBOX_DEFUTILS_CONF", etc.resolve("tvlx-defutils.conf").toString());
        env.put("QORDEFUTIL_SANDBOX_GROUP", groupName());
        env.put("PATH", java.getParent() + ":/usr/bin:/bin");
        env.put("LD_LIBRARY_PATH", Paths.get(property("skyfetcher.patchlib")).getParent().toString());
        env.put("SKYFETCHER_CONFIG", root.resolve("skyfetcher.conf").toString());
        return exec(cmd, env);
    }

    /** The group of a directory this process made: its effective group, which it may always chown to. */
    String groupName() throws IOException {
        return Files.readAttributes(etc, java.nio.file.attribute.PosixFileAttributes.class).group().getName();
    }

    static Run exec(List<String> cmd, Map<String, String> env) throws Exception {
        ProcessBuilder pb = new ProcessBuilder(cmd);
        if (!env.isEmpty()) {
            pb.environment().remove("CLASSPATH");
            pb.environment().remove("JSFDEBUG");
            pb.environment().putAll(env);
        }
        Path out = Files.createTempFile("rig", ".out"), err = Files.createTempFile("rig", ".err");
        try {
            pb.redirectOutput(out.toFile()).redirectError(err.toFile());
            Process p = pb.start();
            if (!p.waitFor(300, TimeUnit.SECONDS)) {
                p.destroyForcibly();
                throw new IllegalStateException(cmd + " did not finish within 300 s");
            }
            return new Run(p.exitValue(), Files.readString(out), Files.readString(err));
        } finally {
            Files.deleteIfExists(out);
            Files.deleteIfExists(err);
        }
    }

    static void mustSucceed(Run r) {
        assertEquals(0, r.status(), r.toString());
    }

    /** Where the mirror keeps a file of a published set: found by its hash, as the client names it. */
    Path mirrorCopy(Path setFile) throws Exception {
        String name = Hashes.hex(Hashes.sha256(setFile)) + "." + setFile.getFileName();
        return findInMirror(n -> n.equals(name));
    }

    /** The one published package of a kind ("binhub", "direct") leading to the newest set from a set name. */
    Path mirrorPackage(String kind, String fromSet) throws Exception {
        String infix = "." + kind + "-" + fromSet.substring(2, 8) + fromSet.substring(9) + "-";
        return findInMirror(n -> n.contains(infix));
    }

    Path findInMirror(java.util.function.Predicate<String> name) throws IOException {
        try (Stream<Path> walk = Files.walk(mirror.resolve("targets"))) {
            return walk.filter(p -> name.test(p.getFileName().toString())).findFirst().orElseThrow();
        }
    }

    static void flipByte(Path file, int offset) throws IOException {
        byte[] b = Files.readAllBytes(file);
        b[offset] ^= 1;
        Files.write(file, b);
    }

    /** The newest set the store names. */
    String curDefs() throws IOException {
        return LocalStore.profileValue(defs().resolve("definfo.dat"), "DefDates", "CurDefs");
    }

    /**
     * Everything the store holds, as path, size and hash lines (the
     * configuration file with the hub state included), to show a refused
     * update changed nothing.
     */
    String storeState() throws Exception {
        StringBuilder s = new StringBuilder();
        for (Path top : List.of(defs(), etc.resolve("tvlx-defutils.conf"))) {
            if (!Files.exists(top))
                continue;
            try (Stream<Path> walk = Files.walk(top)) {
                for (Path p : (Iterable<Path>) walk.sorted()::iterator) {
                    s.append(root.relativize(p));
                    if (Files.isRegularFile(p, LinkOption.NOFOLLOW_LINKS))
                        s.append(' ').append(Files.size(p)).append(' ').append(Hashes.hex(Hashes.sha256(p)));
                    s.append('\n');
                }
            }
        }
        return s.toString();
    }
}
