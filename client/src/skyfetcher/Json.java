package skyfetcher;

import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.Collections;
import java.util.List;
import java.util.Map;
import java.util.TreeMap;

/**
 * A strict JSON reader and the canonical writer that signatures are made over.
 *
 * Signed metadata is restricted to integers and printable ASCII, so the
 * canonical form is simply: keys sorted, no whitespace, only '"' and '\'
 * escaped. The reader is strict on purpose: a general-purpose lenient parser
 * accepts comments, duplicate keys and other forms that two implementations
 * would read differently, and a signature check is only as good as the
 * agreement between signer and verifier on what the bytes mean. So duplicate
 * keys, fractions, exponents, control characters and non-ASCII text are
 * refused rather than interpreted.
 *
 * Values: objects are Map&lt;String,Object&gt; (sorted), arrays List&lt;Object&gt;,
 * strings String, numbers Long, true/false Boolean, null {@link #NULL}.
 */
public final class Json {
    /** The JSON null, distinct from a missing key. */
    public static final Object NULL = new Object() {
        @Override
        public String toString() {
            return "null";
        }
    };

    private static final int MAX_DEPTH = 64;

    private final byte[] text;
    private int pos;

    private Json(byte[] text) {
        this.text = text;
    }

    /** Parses one JSON document; anything else after it is an error. */
    public static Object parse(byte[] text) throws Failure {
        Json reader = new Json(text);
        reader.skipSpace();
        Object value = reader.value(0);
        reader.skipSpace();
        if (reader.pos != text.length)
            throw reader.error("unexpected data after the document");
        return value;
    }

    public static Object parse(String text) throws Failure {
        return parse(text.getBytes(StandardCharsets.ISO_8859_1));
    }

    /** The canonical bytes of a value: sorted keys, no whitespace. */
    public static byte[] canonical(Object value) throws Failure {
        StringBuilder out = new StringBuilder();
        write(value, out);
        return out.toString().getBytes(StandardCharsets.US_ASCII);
    }

    private Failure error(String what) {
        return Failure.verification("malformed JSON at byte " + pos + ": " + what);
    }

    private void skipSpace() {
        while (pos < text.length) {
            byte b = text[pos];
            if (b != ' ' && b != '\t' && b != '\n' && b != '\r')
                break;
            ++pos;
        }
    }

    private Object value(int depth) throws Failure {
        if (depth > MAX_DEPTH)
            throw error("nested too deeply");
        if (pos >= text.length)
            throw error("unexpected end");
        byte b = text[pos];
        switch (b) {
            case '{':
                return object(depth);
            case '[':
                return array(depth);
            case '"':
                return string();
            case 't':
                return literal("true", Boolean.TRUE);
            case 'f':
                return literal("false", Boolean.FALSE);
            case 'n':
                return literal("null", NULL);
            default:
                if (b == '-' || (b >= '0' && b <= '9'))
                    return number();
                throw error("unexpected character");
        }
    }

    private Object literal(String word, Object value) throws Failure {
        byte[] w = word.getBytes(StandardCharsets.US_ASCII);
        if (pos + w.length > text.length)
            throw error("unexpected end");
        for (int i = 0; i < w.length; ++i)
            if (text[pos + i] != w[i])
                throw error("unknown literal");
        pos += w.length;
        return value;
    }

    private Map<String, Object> object(int depth) throws Failure {
        Map<String, Object> map = new TreeMap<>();
        ++pos;
        skipSpace();
        if (pos < text.length && text[pos] == '}') {
            ++pos;
            return map;
        }
        while (true) {
            skipSpace();
            if (pos >= text.length || text[pos] != '"')
                throw error("expected a key");
            String key = string();
            skipSpace();
            expect(':');
            skipSpace();
            Object v = value(depth + 1);
            if (map.put(key, v) != null)
                throw error("duplicate key \"" + key + "\"");
            skipSpace();
            if (pos < text.length && text[pos] == ',') {
                ++pos;
                continue;
            }
            expect('}');
            return map;
        }
    }

    private List<Object> array(int depth) throws Failure {
        List<Object> list = new ArrayList<>();
        ++pos;
        skipSpace();
        if (pos < text.length && text[pos] == ']') {
            ++pos;
            return list;
        }
        while (true) {
            skipSpace();
            list.add(value(depth + 1));
            skipSpace();
            if (pos < text.length && text[pos] == ',') {
                ++pos;
                continue;
            }
            expect(']');
            return list;
        }
    }

    private void expect(char c) throws Failure {
        if (pos >= text.length || text[pos] != c)
            throw error("expected '" + c + "'");
        ++pos;
    }

    private String string() throws Failure {
        ++pos;
        StringBuilder s = new StringBuilder();
        while (true) {
            if (pos >= text.length)
                throw error("unterminated string");
            int c = text[pos++] & 0xff;
            if (c == '"')
                break;
            if (c == '\\') {
                if (pos >= text.length)
                    throw error("unterminated escape");
                int e = text[pos++];
                switch (e) {
                    case '"':
                    case '\\':
                    case '/':
                        c = e;
                        break;
                    case 'u':
                        c = hex4();
                        break;
                    default:
                        // \b \f \n \r \t decode to control characters, which
                        // are refused below anyway.
                        throw error("escape outside printable ASCII");
                }
            }
            if (c < 0x20 || c > 0x7e)
                throw error("character outside printable ASCII");
            s.append((char) c);
        }
        return s.toString();
    }

    private int hex4() throws Failure {
        if (pos + 4 > text.length)
            throw error("short \\u escape");
        int v = 0;
        for (int i = 0; i < 4; ++i) {
            int d = Character.digit(text[pos++], 16);
            if (d < 0)
                throw error("bad \\u escape");
            v = v * 16 + d;
        }
        return v;
    }

    private Long number() throws Failure {
        int start = pos;
        if (text[pos] == '-')
            ++pos;
        if (pos >= text.length || text[pos] < '0' || text[pos] > '9')
            throw error("bad number");
        if (text[pos] == '0') {
            ++pos;
        } else {
            while (pos < text.length && text[pos] >= '0' && text[pos] <= '9') ++pos;
        }
        if (pos < text.length && (text[pos] == '.' || text[pos] == 'e' || text[pos] == 'E'))
            throw error("only integers are allowed");
        String digits = new String(text, start, pos - start, StandardCharsets.US_ASCII);
        if (digits.equals("-0"))
            throw error("negative zero");
        try {
            return Long.parseLong(digits);
        } catch (NumberFormatException e) {
            throw error("integer out of range");
        }
    }

    private static void write(Object value, StringBuilder out) throws Failure {
        if (value instanceof Map) {
            Map<?, ?> map = (Map<?, ?>) value;
            List<String> keys = new ArrayList<>();
            for (Object k : map.keySet()) {
                if (!(k instanceof String))
                    throw Failure.verification("object key is not a string");
                keys.add((String) k);
            }
            Collections.sort(keys);
            out.append('{');
            boolean first = true;
            for (String k : keys) {
                if (!first)
                    out.append(',');
                first = false;
                writeString(k, out);
                out.append(':');
                write(map.get(k), out);
            }
            out.append('}');
        } else if (value instanceof List) {
            out.append('[');
            boolean first = true;
            for (Object v : (List<?>) value) {
                if (!first)
                    out.append(',');
                first = false;
                write(v, out);
            }
            out.append(']');
        } else if (value instanceof String) {
            writeString((String) value, out);
        } else if (value instanceof Long || value instanceof Integer) {
            out.append(((Number) value).longValue());
        } else if (value instanceof Boolean) {
            out.append(((Boolean) value) ? "true" : "false");
        } else if (value == NULL) {
            out.append("null");
        } else {
            throw Failure.verification("value cannot be written as canonical JSON");
        }
    }

    private static void writeString(String s, StringBuilder out) throws Failure {
        out.append('"');
        for (int i = 0; i < s.length(); ++i) {
            char c = s.charAt(i);
            if (c < 0x20 || c > 0x7e)
                throw Failure.verification("character outside printable ASCII");
            if (c == '"' || c == '\\')
                out.append('\\');
            out.append(c);
        }
        out.append('"');
    }

    // Typed access for metadata readers: a missing or mistyped field is a
    // verification failure naming the field, never a NullPointerException.

    public static Map<String, Object> object(Object parent, String key) throws Failure {
        Object v = field(parent, key);
        if (!(v instanceof Map))
            throw Failure.verification("\"" + key + "\" is not an object");
        @SuppressWarnings("unchecked")
        Map<String, Object> map = (Map<String, Object>) v;
        return map;
    }

    public static List<Object> array(Object parent, String key) throws Failure {
        Object v = field(parent, key);
        if (!(v instanceof List))
            throw Failure.verification("\"" + key + "\" is not an array");
        @SuppressWarnings("unchecked")
        List<Object> list = (List<Object>) v;
        return list;
    }

    public static String string(Object parent, String key) throws Failure {
        Object v = field(parent, key);
        if (!(v instanceof String))
            throw Failure.verification("\"" + key + "\" is not a string");
        return (String) v;
    }

    public static long integer(Object parent, String key) throws Failure {
        Object v = field(parent, key);
        if (!(v instanceof Long))
            throw Failure.verification("\"" + key + "\" is not an integer");
        return (Long) v;
    }

    public static boolean has(Object parent, String key) {
        return parent instanceof Map && ((Map<?, ?>) parent).containsKey(key);
    }

    public static Object field(Object parent, String key) throws Failure {
        if (!(parent instanceof Map))
            throw Failure.verification("expected an object holding \"" + key + "\"");
        Object v = ((Map<?, ?>) parent).get(key);
        if (v == null)
            throw Failure.verification("missing \"" + key + "\"");
        return v;
    }
}
