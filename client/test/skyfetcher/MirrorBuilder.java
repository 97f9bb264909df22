package skyfetcher;

import java.nio.file.Files;
import java.nio.file.Path;
import java.security.KeyPair;
import java.security.KeyPairGenerator;
import java.security.Signature;
import java.time.Instant;
import java.time.temporal.ChronoUnit;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.TreeMap;
import java.util.function.Consumer;

/**
 * A small signing publisher for tests: writes a mirror in the format the
 * client reads (metadata/N.root.json, N.targets.json, N.snapshot.json,
 * timestamp.json, hash-named targets) with JDK Ed25519 keys, and lets a
 * test edit and re-sign any file to build an attack.
 */
final class MirrorBuilder {
    final Path dir;
    List<KeyPair> rootKeys = new ArrayList<>(List.of(newKey()));
    int rootThreshold = 1;
    KeyPair targetsKey = newKey(), snapshotKey = newKey(), timestampKey = newKey();
    long rootVersion = 1, targetsVersion, snapshotVersion, timestampVersion;
    Instant expires = Instant.now().plus(1, ChronoUnit.DAYS).truncatedTo(ChronoUnit.SECONDS);
    final Map<String, Object> targets = new TreeMap<>();

    MirrorBuilder(Path dir) throws Exception {
        this.dir = dir;
        Files.createDirectories(dir.resolve("metadata"));
        writeRoot(rootKeys);
    }

    static KeyPair newKey() {
        try {
            return KeyPairGenerator.getInstance("Ed25519").generateKeyPair();
        } catch (Exception e) {
            throw new IllegalStateException(e);
        }
    }

    static Map<String, Object> keyJson(KeyPair k) {
        byte[] enc = k.getPublic().getEncoded();
        byte[] raw = Arrays.copyOfRange(enc, enc.length - 32, enc.length);
        return map("keytype", "ed25519", "keyval", map("public", Hashes.hex(raw)), "scheme", "ed25519");
    }

    static String keyid(KeyPair k) throws Exception {
        return Hashes.hex(Hashes.sha256(Json.canonical(keyJson(k))));
    }

    static Map<String, Object> map(Object... kv) {
        Map<String, Object> m = new TreeMap<>();
        for (int i = 0; i < kv.length; i += 2) m.put((String) kv[i], kv[i + 1]);
        return m;
    }

    /** The canonical file of a signed object, signed by the given keys. */
    static byte[] sign(Map<String, Object> signed, List<KeyPair> keys) throws Exception {
        byte[] body = Json.canonical(signed);
        List<Object> sigs = new ArrayList<>();
        for (KeyPair k : keys) {
            Signature s = Signature.getInstance("Ed25519");
            s.initSign(k.getPrivate());
            s.update(body);
            sigs.add(map("keyid", keyid(k), "sig", Hashes.hex(s.sign())));
        }
        return Json.canonical(map("signatures", sigs, "signed", signed));
    }

    Map<String, Object> rootSigned(List<KeyPair> roots) throws Exception {
        Map<String, Object> keys = new TreeMap<>();
        List<Object> rootIds = new ArrayList<>();
        for (KeyPair k : roots) {
            keys.put(keyid(k), keyJson(k));
            rootIds.add(keyid(k));
        }
        for (KeyPair k : List.of(targetsKey, snapshotKey, timestampKey)) keys.put(keyid(k), keyJson(k));
        return map("_type", "root", "consistent_snapshot", true, "expires", expires.toString(), "keys", keys,
                   "roles",
                   map("root", map("keyids", rootIds, "threshold", (long) rootThreshold), "snapshot",
                       role(snapshotKey), "targets", role(targetsKey), "timestamp", role(timestampKey)),
                   "version", rootVersion);
    }

    private static Map<String, Object> role(KeyPair k) throws Exception {
        return map("keyids", List.of(keyid(k)), "threshold", 1L);
    }

    /** Writes N.root.json for the current version, signed by signers. */
    byte[] writeRoot(List<KeyPair> signers) throws Exception {
        byte[] file = sign(rootSigned(rootKeys), signers);
        Files.write(dir.resolve("metadata/" + rootVersion + ".root.json"), file);
        return file;
    }

    /** Next root version with new root keys, signed by the old and the new keys. */
    void rotateRoot(List<KeyPair> newRootKeys) throws Exception {
        List<KeyPair> signers = new ArrayList<>(rootKeys);
        signers.addAll(newRootKeys);
        rootKeys = new ArrayList<>(newRootKeys);
        ++rootVersion;
        writeRoot(signers);
    }

    void addTarget(String path, byte[] content, Map<String, Object> custom) throws Exception {
        Map<String, Object> entry = map("hashes", map("sha256", Hashes.hex(Hashes.sha256(content))), "length",
                                        (long) content.length);
        if (custom != null)
            entry.put("custom", custom);
        targets.put(path, entry);
        Metadata.Target t = new Metadata.Target(path, content.length, Hashes.sha256(content), Map.of());
        Path file = dir.resolve(t.mirrorPath());
        Files.createDirectories(file.getParent());
        Files.write(file, content);
    }

    /** Writes new targets, snapshot and timestamp versions, in that order. */
    void publish() throws Exception {
        byte[] t = writeTargets();
        writeTimestamp(writeSnapshot(t, targetsVersion), snapshotVersion);
    }

    byte[] writeTargets() throws Exception {
        ++targetsVersion;
        byte[] t = sign(map("_type", "targets", "expires", expires.toString(), "targets", new TreeMap<>(targets),
                            "version", targetsVersion),
                        List.of(targetsKey));
        Files.write(dir.resolve("metadata/" + targetsVersion + ".targets.json"), t);
        return t;
    }

    /** The next snapshot version, naming the given targets file as that version. */
    byte[] writeSnapshot(byte[] targetsFile, long targetsFileVersion) throws Exception {
        ++snapshotVersion;
        byte[] s = sign(map("_type", "snapshot", "expires", expires.toString(), "meta",
                            map("targets.json", fileInfo(targetsFile, targetsFileVersion)), "version", snapshotVersion),
                        List.of(snapshotKey));
        Files.write(dir.resolve("metadata/" + snapshotVersion + ".snapshot.json"), s);
        return s;
    }

    /** The next timestamp version, naming the given snapshot file as that version. */
    byte[] writeTimestamp(byte[] snapshotFile, long snapshotFileVersion) throws Exception {
        ++timestampVersion;
        byte[] ts = sign(map("_type", "timestamp", "expires", expires.toString(), "meta",
                             map("snapshot.json", fileInfo(snapshotFile, snapshotFileVersion)), "version",
                             timestampVersion),
                         List.of(timestampKey));
        Files.write(dir.resolve("metadata/timestamp.json"), ts);
        return ts;
    }

    static Map<String, Object> fileInfo(byte[] file, long version) {
        return map("hashes", map("sha256", Hashes.hex(Hashes.sha256(file))), "length", (long) file.length, "version",
                   version);
    }

    /** Rewrites a metadata file: edit its signed object, sign it with the given keys. */
    void resign(String name, Consumer<Map<String, Object>> edit, List<KeyPair> keys) throws Exception {
        Path p = dir.resolve("metadata/" + name);
        Map<String, Object> signed = new LinkedHashMap<>(Json.object(Json.parse(Files.readAllBytes(p)), "signed"));
        edit.accept(signed);
        Files.write(p, sign(new TreeMap<>(signed), keys));
    }
}
