package skyfetcher;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.DirectoryStream;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.Path;
import java.util.Locale;
import java.util.Map;
import java.util.TreeMap;
import java.util.regex.Pattern;

/**
 * What the client reads of the store it updates, found from the download
 * directories the store gives it (they are made inside the definitions
 * directory). It only reads: the newest set named in definfo.dat, the
 * binary hub, and which content type the store holds (its directory is
 * BaseDir/virusdefs for the default one, BaseDir/tvlxdata/TYPE otherwise).
 * These are what a microdefs package must start from, checked by digest
 * before anything is fetched.
 */
public final class LocalStore {
    private static final Pattern SET_NAME = Pattern.compile("[0-9]{8}\\.[0-9]{3}");

    public final Path defsDir;

    private LocalStore(Path defsDir) {
        this.defsDir = defsDir;
    }

    /** The store holding both microdefs download directories. */
    public static LocalStore ofDownloadDirs(Path hubDir, Path directDir) throws Failure {
        Path a = hubDir.toAbsolutePath().normalize().getParent(), b = directDir.toAbsolutePath().normalize().getParent();
        if (a == null || !a.equals(b))
            throw Failure.usage("HUBDELTADIR and CURDELTADIR are not in the same definitions directory");
        return new LocalStore(a);
    }

    /** "" for the default store, else the alternate content type. */
    public String contentType() {
        Path parent = defsDir.getParent();
        if (parent != null && parent.getFileName() != null && parent.getFileName().toString().equals("tvlxdata"))
            return defsDir.getFileName().toString();
        return "";
    }

    /** The newest set's directory as definfo.dat names it, or null when there is none. */
    public Path newestSet() {
        String name = profileValue(defsDir.resolve("definfo.dat"), "DefDates", "CurDefs");
        if (name == null || !SET_NAME.matcher(name).matches())
            return null;
        Path dir = defsDir.resolve(name);
        return Files.isDirectory(dir, LinkOption.NOFOLLOW_LINKS) ? dir : null;
    }

    /** The sequence number of a set directory's name, 0 when it has none. */
    public static long sequenceOf(Path setDir) {
        if (setDir == null)
            return 0;
        String n = setDir.getFileName().toString();
        if (!SET_NAME.matcher(n).matches())
            return 0;
        return Sequence.of(Integer.parseInt(n.substring(0, 4)), Integer.parseInt(n.substring(4, 6)),
                           Integer.parseInt(n.substring(6, 8)), Integer.parseInt(n.substring(9, 12)));
    }

    public Path binaryHub() {
        return defsDir.resolve("binhub");
    }

    /**
     * The set digest of a directory's top-level regular files (names as on
     * disk, subdirectories ignored), or null when the directory is missing
     * or holds a link or other special file: the patch library refuses
     * those, so no package can start from such a directory.
     */
    public static String digest(Path dir) throws Failure {
        if (dir == null || !Files.isDirectory(dir, LinkOption.NOFOLLOW_LINKS))
            return null;
        Map<String, String> lines = new TreeMap<>();
        try (DirectoryStream<Path> entries = Files.newDirectoryStream(dir)) {
            for (Path p : entries) {
                if (Files.isDirectory(p, LinkOption.NOFOLLOW_LINKS))
                    continue;
                if (!Files.isRegularFile(p, LinkOption.NOFOLLOW_LINKS))
                    return null;
                String name = p.getFileName().toString();
                lines.put(name, name + " " + Files.size(p) + " " + Hashes.hex(Hashes.sha256(p)) + "\n");
            }
        } catch (IOException e) {
            throw Failure.local("cannot read " + dir + ": " + e.getMessage());
        }
        // Names sorted by their bytes: String order equals byte order for
        // the ASCII names a set may have; others never match anyway.
        StringBuilder all = new StringBuilder();
        for (String line : lines.values()) all.append(line);
        return Hashes.hex(Hashes.sha256(all.toString().getBytes(StandardCharsets.UTF_8)));
    }

    /**
     * One value of a profile file, read as the store reads it: the first
     * matching section and key, letter case ignored, blanks and one pair of
     * quotes around the value removed. Null when absent or unreadable.
     */
    static String profileValue(Path file, String section, String key) {
        String text;
        try {
            text = new String(Files.readAllBytes(file), StandardCharsets.ISO_8859_1);
        } catch (IOException e) {
            return null;
        }
        boolean inSection = false, seenSection = false;
        for (String line : text.split("\n")) {
            line = line.replaceAll("[\r\n]+$", "");
            String lead = line.replaceFirst("^[ \t]+", "");
            if (lead.startsWith("[")) {
                if (seenSection && inSection)
                    return null;
                String name = lead.replaceFirst("^[\\[ \t]+", "").replaceFirst("[\\] \t]+$", "");
                inSection = !seenSection && name.toLowerCase(Locale.ROOT).equals(section.toLowerCase(Locale.ROOT));
                seenSection |= inSection;
                continue;
            }
            int eq = line.indexOf('=');
            if (!inSection || eq < 0)
                continue;
            if (!line.substring(0, eq).strip().equalsIgnoreCase(key))
                continue;
            String v = line.substring(eq + 1).replaceAll("^[ \t]+|[ \t]+$", "");
            if (v.length() >= 2 && (v.charAt(0) == '"' || v.charAt(0) == '\'') && v.charAt(v.length() - 1) == v.charAt(0))
                v = v.substring(1, v.length() - 1);
            return v;
        }
        return null;
    }
}
