package skyfetcher;

import java.security.PublicKey;
import java.time.Instant;
import java.time.format.DateTimeParseException;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.HashSet;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.Set;
import java.util.regex.Pattern;

/**
 * One signed metadata file of the mirror, checked for form but not yet for
 * trust: it is exactly the canonical form of its own content, its signed
 * object has the fields of its role and no others, and every value is of
 * the allowed kinds. Signatures are checked separately against a root
 * ({@link #checkSignatures}), because which root applies is the caller's
 * decision (old and new root during rotation).
 */
public final class Metadata {
    public static final long MAX_INTEGER = (1L << 53) - 1;
    private static final Pattern EXPIRES = Pattern.compile("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z");

    public final String type;
    public final long version;
    public final Instant expires;
    public final Map<String, Object> signed;
    public final byte[] raw;
    private final byte[] signedBytes;
    private final List<Object> signatures;

    private Metadata(String type, long version, Instant expires, Map<String, Object> signed, byte[] raw,
                     byte[] signedBytes, List<Object> signatures) {
        this.type = type;
        this.version = version;
        this.expires = expires;
        this.signed = signed;
        this.raw = raw;
        this.signedBytes = signedBytes;
        this.signatures = signatures;
    }

    /** Parses and checks the form of a file that must be of the given role. */
    public static Metadata parse(byte[] raw, String expectedType) throws Failure {
        Object doc = Json.parse(raw);
        checkValues(doc);
        if (!Arrays.equals(Json.canonical(doc), raw))
            throw Failure.verification(expectedType + " metadata is not in canonical form");
        onlyFields(doc, "file", "signatures", "signed");
        Map<String, Object> signed = Json.object(doc, "signed");
        List<Object> signatures = Json.array(doc, "signatures");
        String type = Json.string(signed, "_type");
        if (!type.equals(expectedType))
            throw Failure.verification("expected " + expectedType + " metadata, got \"" + type + "\"");
        switch (type) {
            case "root":
                onlyFields(signed, "root", "_type", "consistent_snapshot", "expires", "keys", "roles", "version");
                break;
            case "timestamp":
            case "snapshot":
                onlyFields(signed, type, "_type", "expires", "meta", "version");
                break;
            case "targets":
                onlyFields(signed, type, "_type", "expires", "targets", "version");
                break;
            default:
                throw Failure.verification("unknown role \"" + type + "\"");
        }
        long version = Json.integer(signed, "version");
        if (version < 1)
            throw Failure.verification(type + " version must be at least 1");
        Instant expires = parseTime(Json.string(signed, "expires"));
        for (Object s : signatures) {
            onlyFields(s, "signature", "keyid", "sig");
            Json.string(s, "keyid");
            Json.string(s, "sig");
        }
        return new Metadata(type, version, expires, signed, raw, Json.canonical(signed), signatures);
    }

    static Instant parseTime(String text) throws Failure {
        if (!EXPIRES.matcher(text).matches())
            throw Failure.verification("expires \"" + text + "\" is not YYYY-MM-DDTHH:MM:SSZ");
        try {
            return Instant.parse(text);
        } catch (DateTimeParseException e) {
            throw Failure.verification("expires \"" + text + "\" is not a valid time");
        }
    }

    /** Expired when the expiry is at or before the reference time. */
    public boolean isExpiredAt(Instant t) {
        return !expires.isAfter(t);
    }

    /** Requires a threshold of distinct keys the root lists for the role to have signed. */
    public void checkSignatures(Root root, String role) throws Failure {
        Root.Role r = root.role(role);
        Set<String> counted = new HashSet<>();
        for (Object s : signatures) {
            String keyid = Json.string(s, "keyid");
            if (!r.keyids.contains(keyid) || counted.contains(keyid))
                continue;
            byte[] sig = Hashes.unhex(Json.string(s, "sig"), 64);
            if (Ed25519.verify(root.key(keyid), signedBytes, sig))
                counted.add(keyid);
        }
        if (counted.size() < r.threshold)
            throw Failure.verification(type + " version " + version + " has " + counted.size() + " valid "
                                       + role + " signature(s), needs " + r.threshold);
    }

    /** A version, length and hash of another metadata file, as timestamp and snapshot record them. */
    public static final class FileInfo {
        public final long version;
        public final long length;
        public final byte[] sha256;

        FileInfo(long version, long length, byte[] sha256) {
            this.version = version;
            this.length = length;
            this.sha256 = sha256;
        }
    }

    /** The one entry of a timestamp's or snapshot's meta: snapshot.json or targets.json. */
    public FileInfo meta(String name) throws Failure {
        Map<String, Object> meta = Json.object(signed, "meta");
        if (meta.size() != 1 || !meta.containsKey(name))
            throw Failure.verification(type + " meta must list exactly " + name);
        Object entry = meta.get(name);
        onlyFields(entry, name, "hashes", "length", "version");
        long v = Json.integer(entry, "version");
        if (v < 1)
            throw Failure.verification(name + " version must be at least 1");
        return new FileInfo(v, Json.integer(entry, "length"), sha256(entry, name));
    }

    /** A target of the targets role. */
    public static final class Target {
        public final String path;
        public final long length;
        public final byte[] sha256;
        /** The custom object, or an empty map. */
        public final Map<String, Object> custom;

        Target(String path, long length, byte[] sha256, Map<String, Object> custom) {
            this.path = path;
            this.length = length;
            this.sha256 = sha256;
            this.custom = custom;
        }

        /** Where the file lies on a mirror: targets/DIR/SHA256.NAME. */
        public String mirrorPath() {
            int slash = path.lastIndexOf('/');
            String dir = slash < 0 ? "" : path.substring(0, slash + 1);
            return "targets/" + dir + Hashes.hex(sha256) + "." + path.substring(slash + 1);
        }
    }

    /** Every target, in path order; malformed paths or entries are refused. */
    public Map<String, Target> targets() throws Failure {
        Map<String, Target> out = new LinkedHashMap<>();
        for (Map.Entry<String, Object> e : Json.object(signed, "targets").entrySet()) {
            String path = e.getKey();
            checkTargetPath(path);
            Object entry = e.getValue();
            onlyFields(entry, path, "custom", "hashes", "length");
            Map<String, Object> custom = Json.has(entry, "custom") ? Json.object(entry, "custom") : Map.of();
            out.put(path, new Target(path, Json.integer(entry, "length"), sha256(entry, path), custom));
        }
        return out;
    }

    private static void checkTargetPath(String path) throws Failure {
        if (path.isEmpty() || path.length() > 400)
            throw Failure.verification("target path of bad length");
        for (String part : path.split("/", -1))
            if (part.isEmpty() || part.equals(".") || part.equals(".."))
                throw Failure.verification("target path \"" + path + "\" has an empty, . or .. component");
    }

    static byte[] sha256(Object entry, String what) throws Failure {
        Map<String, Object> hashes = Json.object(entry, "hashes");
        onlyFields(hashes, what + " hashes", "sha256");
        byte[] h = Hashes.unhex(Json.string(hashes, "sha256"), 32);
        if (h == null)
            throw Failure.verification(what + ": sha256 is not 64 lower-case hex digits");
        return h;
    }

    static void onlyFields(Object o, String what, String... allowed) throws Failure {
        if (!(o instanceof Map))
            throw Failure.verification(what + " is not an object");
        List<String> allowedList = Arrays.asList(allowed);
        for (Object k : ((Map<?, ?>) o).keySet())
            if (!allowedList.contains(k))
                throw Failure.verification(what + " has an unknown field \"" + k + "\"");
    }

    /** Only the value kinds the format allows: no null, integers 0 to 2^53 - 1. */
    private static void checkValues(Object v) throws Failure {
        if (v == Json.NULL)
            throw Failure.verification("metadata holds null");
        if (v instanceof Long && ((Long) v < 0 || (Long) v > MAX_INTEGER))
            throw Failure.verification("metadata holds an integer out of range");
        if (v instanceof Map)
            for (Object c : ((Map<?, ?>) v).values()) checkValues(c);
        if (v instanceof List)
            for (Object c : (List<?>) v) checkValues(c);
    }

    /** The trusted keys and roles of a root file. */
    public static final class Root {
        public final Metadata metadata;
        private final Map<String, PublicKey> keys = new LinkedHashMap<>();
        private final Map<String, Role> roles = new LinkedHashMap<>();

        public static final class Role {
            public final List<String> keyids;
            public final int threshold;

            Role(List<String> keyids, int threshold) {
                this.keyids = keyids;
                this.threshold = threshold;
            }

            boolean sameAs(Role o) {
                return threshold == o.threshold && new HashSet<>(keyids).equals(new HashSet<>(o.keyids));
            }
        }

        public Root(Metadata m) throws Failure {
            if (!m.type.equals("root"))
                throw Failure.verification("not a root");
            metadata = m;
            if (!Boolean.TRUE.equals(Json.field(m.signed, "consistent_snapshot")))
                throw Failure.verification("root must have consistent_snapshot true");
            for (Map.Entry<String, Object> e : Json.object(m.signed, "keys").entrySet()) {
                Object key = e.getValue();
                onlyFields(key, "key", "keytype", "keyval", "scheme");
                if (!Json.string(key, "keytype").equals("ed25519") || !Json.string(key, "scheme").equals("ed25519"))
                    throw Failure.verification("key " + e.getKey() + " is not an ed25519 key");
                Object keyval = Json.object(key, "keyval");
                onlyFields(keyval, "keyval", "public");
                PublicKey pk = Ed25519.publicKey(Hashes.unhex(Json.string(keyval, "public"), 32));
                if (pk == null)
                    throw Failure.verification("key " + e.getKey() + " is not a valid ed25519 public key");
                if (!Hashes.hex(Hashes.sha256(Json.canonical(key))).equals(e.getKey()))
                    throw Failure.verification("key id " + e.getKey() + " is not the SHA-256 of its key");
                keys.put(e.getKey(), pk);
            }
            Map<String, Object> r = Json.object(m.signed, "roles");
            onlyFields(r, "roles", "root", "snapshot", "targets", "timestamp");
            for (String name : new String[] {"root", "snapshot", "targets", "timestamp"}) {
                Object role = Json.field(r, name);
                onlyFields(role, name + " role", "keyids", "threshold");
                List<String> ids = new ArrayList<>();
                for (Object id : Json.array(role, "keyids")) {
                    if (!(id instanceof String) || !keys.containsKey(id))
                        throw Failure.verification(name + " role names a key the root does not hold");
                    ids.add((String) id);
                }
                long threshold = Json.integer(role, "threshold");
                if (ids.isEmpty() || ids.size() > 32 || threshold < 1 || threshold > ids.size())
                    throw Failure.verification(name + " role needs 1 to 32 keys and a threshold within them");
                roles.put(name, new Role(ids, (int) threshold));
            }
        }

        public Role role(String name) {
            return roles.get(name);
        }

        PublicKey key(String keyid) {
            return keys.get(keyid);
        }
    }

    @Override
    public String toString() {
        return type + " version " + version;
    }
}
