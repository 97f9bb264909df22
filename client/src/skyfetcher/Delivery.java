package skyfetcher;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.AtomicMoveNotSupportedException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardCopyOption;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;

/**
 * Puts verified downloads into the store's download directory. Every file
 * arrives there whole under its final name (moved when the state directory
 * is on the same file system, else copied beside it under a dot name and
 * renamed), catalog.dat last so a set cut short never looks complete, and a
 * delivery that fails half-way removes what it had put there: the store
 * runs its post-update step even after the client failed, and must then
 * find nothing rather than part of a set.
 */
public final class Delivery implements AutoCloseable {
    private final Path dir;
    private final List<Path> delivered = new ArrayList<>();
    private boolean committed;

    public Delivery(Path dir) {
        this.dir = dir;
    }

    /**
     * Files by name; several names may share one verified file (identical
     * content), which is then copied for all but the last.
     */
    public void files(Map<String, Path> byName) throws Failure {
        List<String> names = new ArrayList<>(byName.keySet());
        names.sort((a, b) -> Boolean.compare(isCatalog(a), isCatalog(b)));
        for (int i = 0; i < names.size(); ++i) {
            Path source = byName.get(names.get(i));
            boolean usedLater = false;
            for (int j = i + 1; j < names.size(); ++j) usedLater |= byName.get(names.get(j)).equals(source);
            put(source, names.get(i), !usedLater);
        }
    }

    /** One package and the marker the store recognises its delivery by. */
    public void packageWithMarker(Path source, String name, String marker, String description) throws Failure {
        put(source, name, true);
        Path m = dir.resolve(marker);
        try {
            Files.write(m, ("delivered by Skyfetcher: " + description + "\n").getBytes(StandardCharsets.US_ASCII));
            delivered.add(m);
        } catch (IOException e) {
            throw Failure.local("cannot write " + m + ": " + e.getMessage());
        }
    }

    private void put(Path source, String name, boolean move) throws Failure {
        Path target = dir.resolve(name);
        try {
            if (move) {
                try {
                    Files.move(source, target, StandardCopyOption.ATOMIC_MOVE);
                    delivered.add(target);
                    return;
                } catch (AtomicMoveNotSupportedException e) {
                    // another file system: copy below
                }
            }
            Path tmp = dir.resolve("." + name + ".part");
            Files.copy(source, tmp, StandardCopyOption.REPLACE_EXISTING);
            Files.move(tmp, target, StandardCopyOption.ATOMIC_MOVE);
            delivered.add(target);
            if (move)
                Files.delete(source);
        } catch (IOException e) {
            throw Failure.local("cannot deliver " + name + " to " + dir + ": " + e.getMessage());
        }
    }

    static boolean isCatalog(String name) {
        return name.equalsIgnoreCase("catalog.dat");
    }

    /** Keeps what was delivered. */
    public void commit() {
        committed = true;
    }

    /** Removes everything delivered unless committed. */
    @Override
    public void close() {
        if (committed)
            return;
        for (Path p : delivered) {
            try {
                Files.deleteIfExists(p);
            } catch (IOException e) {
                // Best effort: the store deletes its download directory anyway.
            }
        }
        try (java.nio.file.DirectoryStream<Path> parts = Files.newDirectoryStream(dir, ".*.part")) {
            for (Path p : parts) Files.deleteIfExists(p);
        } catch (IOException e) {
            // as above
        }
    }
}
