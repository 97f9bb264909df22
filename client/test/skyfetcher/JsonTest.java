package skyfetcher;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;

import java.nio.charset.StandardCharsets;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;
import org.junit.jupiter.params.provider.ValueSource;

class JsonTest {
    @Test
    void canonicalFormSortsKeysAtEveryLevelAndDropsWhitespace() throws Exception {
        String pretty = "{\n  \"signed\": {\"version\": 3, \"_type\": \"r\\u006ft\",\n"
                        + "    \"keys\": {\"b\": [2, 1, {\"z\": true, \"a\": null}], \"a\": \"q\\\"\\\\\\/\"}},\n"
                        + "  \"signatures\": [] }";
        String expected = "{\"signatures\":[],\"signed\":{\"_type\":\"rot\","
                          + "\"keys\":{\"a\":\"q\\\"\\\\/\",\"b\":[2,1,{\"a\":null,\"z\":true}]},\"version\":3}}";
        assertEquals(expected, new String(Json.canonical(Json.parse(pretty)), StandardCharsets.US_ASCII));
    }

    // Forms two parsers could read differently, or that canonical form cannot hold.
    @ParameterizedTest
    @ValueSource(strings = {"{\"a\":1,\"a\":2}", "{\"a\":1.5}", "{\"a\":1e3}", "[01]", "[-0]", "[9223372036854775808]",
                            "[\"a\tb\"]", "[\"a\\nb\"]", "[\"\\u0007\"]", "[\"caf\u00e9\"]", "[\"\\u00e9\"]", "{} {}",
                            "[1,]", "{/* c */}", "{'a':1}", "[\"abc", "{\"a\":1", "[nul]", "", "\u00ef\u00bb\u00bf{}"})
    void refusesAmbiguousOrNonCanonicalInput(String text) {
        assertEquals(Failure.Kind.VERIFICATION,
                     assertThrows(Failure.class, () -> Json.parse(text.getBytes(StandardCharsets.ISO_8859_1))).kind);
    }

    @Test
    void refusesNestingBeyondTheLimit() {
        assertThrows(Failure.class, () -> Json.parse("[".repeat(70) + "]".repeat(70)));
    }

    // RFC 8032, section 7.1, tests 1 to 3: another Ed25519 implementation's output.
    @ParameterizedTest
    @CsvSource({"d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a, '', "
                    + "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24655141438e7a100b",
                "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c, 72, "
                    + "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613d0f11d8c387b2eaeb4302aeeb00d291612bb0c00",
                "fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025, af82, "
                    + "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac18ff9b538d16f290ae67f760984dc6594a7c15e9716ed28dc027beceea1ec40a"})
    void verifiesReferenceSignaturesAndNothingElse(String key, String message, String signature) {
        var publicKey = Ed25519.publicKey(Hashes.unhex(key, 32));
        byte[] msg = Hashes.unhex(message, message.length() / 2), sig = Hashes.unhex(signature, 64);
        assertEquals(true, Ed25519.verify(publicKey, msg, sig));
        byte[] badSig = sig.clone();
        badSig[10] ^= 1;
        assertEquals(false, Ed25519.verify(publicKey, msg, badSig));
        assertEquals(false, Ed25519.verify(publicKey, java.util.Arrays.copyOf(msg, msg.length + 1), sig));
        assertEquals(false, Ed25519.verify(publicKey, msg, java.util.Arrays.copyOf(sig, 63)));
    }
}
