package skyfetcher;

import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.List;
import java.util.Locale;
import java.util.Map;
import java.util.TreeMap;
import java.util.regex.Pattern;

/**
 * What a verified targets file offers one product and content type: the
 * set record, the files of the newest set and the microdefs packages that
 * lead to it. Everything here comes from signed metadata; the checks only
 * make sure the publisher's records agree with each other (the files add up
 * to the record's digest, every package leads to the newest set), so a
 * publishing mistake cannot deliver something the store would misread.
 */
public final class Offer {
    public static final class Package {
        public final Metadata.Target target;
        public final String kind;
        public final long fromSequence;
        public final String fromDigest;
        public final String fromSet;

        Package(Metadata.Target target, String kind, long fromSequence, String fromDigest, String fromSet) {
            this.target = target;
            this.kind = kind;
            this.fromSequence = fromSequence;
            this.fromDigest = fromDigest;
            this.fromSet = fromSet;
        }

        /** The file name the package is delivered under: the last component of its path. */
        public String fileName() {
            return target.path.substring(target.path.lastIndexOf('/') + 1);
        }
    }

    public final String product;
    public final String contentType;
    public final String setName;
    public final long sequence;
    public final String digest;
    public final String binhub;
    /** The newest set's files by name, in name order. */
    public final Map<String, Metadata.Target> files = new TreeMap<>();
    public final List<Package> packages = new ArrayList<>();

    private static final Pattern FILE_NAME = Pattern.compile("[a-z0-9._+~-]{1,128}");
    private static final Pattern CONTENT = Pattern.compile("[a-z0-9._-]{1,64}");
    private static final Pattern DIGEST = Pattern.compile("[0-9a-f]{64}");
    private static final Pattern SET_NAME = Pattern.compile("[0-9]{8}\\.[0-9]{3}");

    private Offer(String product, String contentType, Map<String, Object> record) throws Failure {
        this.product = product;
        this.contentType = contentType;
        setName = Json.string(record, "set");
        sequence = Json.integer(record, "sequence");
        digest = digestField(record, "digest");
        binhub = Json.has(record, "binhub") ? digestField(record, "binhub") : null;
        if (!SET_NAME.matcher(setName).matches() || !Sequence.isValid(sequence)
            || !Sequence.dirName(sequence).equals(setName))
            throw Failure.verification("set record: set " + setName + " and sequence " + sequence + " disagree");
    }

    /** Directory segment of a product name on the mirror. */
    public static String productSegment(String product) throws Failure {
        StringBuilder s = new StringBuilder();
        for (char c : product.toCharArray()) {
            if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))
                s.append(c);
            else if (c >= 'A' && c <= 'Z')
                s.append((char) (c - 'A' + 'a'));
            else if (s.length() > 0 && s.charAt(s.length() - 1) != '-')
                s.append('-');
        }
        while (s.length() > 0 && s.charAt(s.length() - 1) == '-') s.setLength(s.length() - 1);
        if (s.length() < 1 || s.length() > 64)
            throw Failure.usage("product name \"" + product + "\" cannot be named on a mirror");
        return s.toString();
    }

    /** Directory segment of a content type: "_default" for the default store. */
    public static String contentSegment(String contentType) throws Failure {
        if (contentType == null || contentType.isEmpty())
            return "_default";
        String lower = contentType.toLowerCase(Locale.ROOT);
        if (!CONTENT.matcher(lower).matches() || lower.startsWith("_") || lower.startsWith("."))
            throw Failure.usage("content type \"" + contentType + "\" cannot be named on a mirror");
        return lower;
    }

    /**
     * The offer for the exact product name and content type ("" for the
     * default store); a failure of kind UNAVAILABLE when the mirror does not
     * publish it.
     */
    public static Offer find(Map<String, Metadata.Target> targets, String product, String contentType)
        throws Failure {
        String prefix = productSegment(product) + "/" + contentSegment(contentType) + "/";
        Metadata.Target recordTarget = targets.get(prefix + "set.json");
        if (recordTarget == null)
            throw new Failure(Failure.Kind.UNAVAILABLE, "the mirror publishes nothing for \"" + product + "\""
                                                        + (contentType.isEmpty() ? "" : " content " + contentType));
        Map<String, Object> record = recordTarget.custom;
        if (!Json.string(record, "product").equals(product)
            || !Json.string(record, "content_type").equals(contentType.toLowerCase(Locale.ROOT)))
            throw new Failure(Failure.Kind.UNAVAILABLE, "the mirror's " + prefix + " belongs to \""
                                                        + Json.string(record, "product") + "\", not \"" + product + "\"");
        Offer offer = new Offer(product, contentType, record);
        long total = 0;
        StringBuilder lines = new StringBuilder();
        for (Map.Entry<String, Metadata.Target> e : targets.entrySet()) {
            String path = e.getKey();
            if (path.startsWith(prefix + "set/")) {
                String name = path.substring(prefix.length() + 4);
                if (!FILE_NAME.matcher(name).matches() || name.equals(".") || name.equals(".."))
                    throw Failure.verification("set file name \"" + name + "\" is not allowed");
                offer.files.put(name, e.getValue());
                total += e.getValue().length;
            } else if (path.startsWith(prefix + "packages/")) {
                offer.addPackage(e.getValue());
            }
        }
        for (Map.Entry<String, Metadata.Target> f : offer.files.entrySet())
            lines.append(f.getKey()).append(' ').append(f.getValue().length).append(' ')
                .append(Hashes.hex(f.getValue().sha256)).append('\n');
        if (offer.files.size() != Json.integer(record, "files") || total != Json.integer(record, "length")
            || !Hashes.hex(Hashes.sha256(lines.toString().getBytes(StandardCharsets.US_ASCII))).equals(offer.digest))
            throw Failure.verification("the set files of " + prefix + " do not match its set record");
        return offer;
    }

    private void addPackage(Metadata.Target t) throws Failure {
        String kind = Json.string(t.custom, "kind");
        if (!kind.equals("direct") && !kind.equals("binhub"))
            return;  // text hub packages: the store never patches its text hub
        Map<String, Object> from = Json.object(t.custom, "from"), to = Json.object(t.custom, "to");
        String toDigest = digestField(to, "digest");
        boolean leadsHere = Json.integer(to, "sequence") == sequence
                            && toDigest.equals(kind.equals("direct") ? digest : binhub);
        if (!leadsHere)
            throw Failure.verification("package " + t.path + " does not lead to the newest set");
        if (!t.path.endsWith(".mdp"))
            throw Failure.verification("package " + t.path + " is not named *.mdp");
        packages.add(new Package(t, kind, Json.integer(from, "sequence"), digestField(from, "digest"),
                                 Json.string(from, "set")));
    }

    private static String digestField(Map<String, Object> o, String key) throws Failure {
        String d = Json.string(o, key);
        if (!DIGEST.matcher(d).matches())
            throw Failure.verification("\"" + key + "\" is not a SHA-256 digest");
        return d;
    }

    /** The package of a kind whose recorded source is the given local digest; null when none. */
    public Package packageFrom(String kind, String localDigest) {
        if (localDigest == null)
            return null;
        for (Package p : packages)
            if (p.kind.equals(kind) && p.fromDigest.equals(localDigest))
                return p;
        return null;
    }

    public boolean hasPackages(String kind) {
        for (Package p : packages)
            if (p.kind.equals(kind))
                return true;
        return false;
    }

    public long totalLength() {
        long n = 0;
        for (Metadata.Target t : files.values()) n += t.length;
        return n;
    }
}
