package skyfetcher;

import java.security.GeneralSecurityException;
import java.security.KeyFactory;
import java.security.PublicKey;
import java.security.Signature;
import java.security.spec.X509EncodedKeySpec;

/**
 * Ed25519 verification with a raw 32-byte public key, as the metadata
 * carries it. The JDK only takes keys in X.509 form, which for Ed25519 is a
 * fixed 12-byte header followed by the raw key.
 */
public final class Ed25519 {
    private static final byte[] X509_HEADER = {0x30, 0x2a, 0x30, 0x05, 0x06, 0x03, 0x2b, 0x65, 0x70, 0x03, 0x21, 0x00};

    private Ed25519() {}

    /** The key, or null when the bytes are not a usable Ed25519 public key. */
    public static PublicKey publicKey(byte[] raw) {
        if (raw == null || raw.length != 32)
            return null;
        byte[] encoded = new byte[X509_HEADER.length + 32];
        System.arraycopy(X509_HEADER, 0, encoded, 0, X509_HEADER.length);
        System.arraycopy(raw, 0, encoded, X509_HEADER.length, 32);
        try {
            return KeyFactory.getInstance("Ed25519").generatePublic(new X509EncodedKeySpec(encoded));
        } catch (GeneralSecurityException e) {
            return null;
        }
    }

    /** True only for a valid signature; malformed input is simply not valid. */
    public static boolean verify(PublicKey key, byte[] message, byte[] signature) {
        if (key == null || signature == null || signature.length != 64)
            return false;
        try {
            Signature s = Signature.getInstance("Ed25519");
            s.initVerify(key);
            s.update(message);
            return s.verify(signature);
        } catch (GeneralSecurityException | RuntimeException e) {
            // The JDK throws for some malformed points instead of answering false.
            return false;
        }
    }
}
