package skyfetcher;

import java.io.IOException;
import java.io.InputStream;
import java.nio.ByteBuffer;
import java.nio.channels.FileChannel;
import java.nio.file.Files;
import java.nio.file.Path;
import java.security.MessageDigest;
import java.security.NoSuchAlgorithmException;

/** SHA-256 over bytes and files, and hex text as the metadata writes it. */
public final class Hashes {
    private Hashes() {}

    public static MessageDigest newSha256() {
        try {
            return MessageDigest.getInstance("SHA-256");
        } catch (NoSuchAlgorithmException e) {
            // Every Java platform must provide SHA-256.
            throw new IllegalStateException(e);
        }
    }

    public static byte[] sha256(byte[] data) {
        return newSha256().digest(data);
    }

    public static byte[] sha256(Path file) throws Failure {
        MessageDigest d = newSha256();
        byte[] buffer = new byte[1 << 16];
        try (InputStream in = Files.newInputStream(file)) {
            for (int n; (n = in.read(buffer)) > 0;) d.update(buffer, 0, n);
        } catch (IOException e) {
            throw Failure.local("cannot read " + file + ": " + e.getMessage());
        }
        return d.digest();
    }

    /** Feeds the first n bytes of an open file to the digest. */
    static void update(MessageDigest d, FileChannel in, long n) throws IOException {
        ByteBuffer buffer = ByteBuffer.allocate(1 << 16);
        long pos = 0;
        while (pos < n) {
            buffer.clear();
            if (n - pos < buffer.capacity())
                buffer.limit((int) (n - pos));
            int got = in.read(buffer, pos);
            if (got < 0)
                throw new IOException("file shorter than expected");
            buffer.flip();
            d.update(buffer);
            pos += got;
        }
    }

    /** Constant-time comparison; both null-safe. */
    public static boolean equal(byte[] a, byte[] b) {
        return a != null && b != null && MessageDigest.isEqual(a, b);
    }

    public static String hex(byte[] bytes) {
        StringBuilder s = new StringBuilder(bytes.length * 2);
        for (byte b : bytes) s.append(Character.forDigit((b >> 4) & 15, 16)).append(Character.forDigit(b & 15, 16));
        return s.toString();
    }

    /** Lower-case hex of the given byte length, or null when the text is not that. */
    public static byte[] unhex(String text, int bytes) {
        if (text == null || text.length() != bytes * 2)
            return null;
        byte[] out = new byte[bytes];
        for (int i = 0; i < bytes; ++i) {
            int hi = Character.digit(text.charAt(2 * i), 16), lo = Character.digit(text.charAt(2 * i + 1), 16);
            if (hi < 0 || lo < 0 || Character.isUpperCase(text.charAt(2 * i))
                || Character.isUpperCase(text.charAt(2 * i + 1)))
                return null;
            out[i] = (byte) (hi << 4 | lo);
        }
        return out;
    }
}
