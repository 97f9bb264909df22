package skyfetcher;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;

import java.nio.charset.StandardCharsets;
import java.util.stream.Stream;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.MethodSource;

class JsonTest {
    @Test
    void canonicalFormSortsKeysAtEveryLevelAndDropsWhitespace() throws Exception {
        String pretty = "{\n  \"signed\": {\"version\": 3, \"_type\": \"root\",\n"
                        + "    \"keys\": {\"b\": [2, 1, {\"z\": true, \"a\": null}], \"a\": \"q\\\"\\\\/\"}},\n"
                        + "  \"signatures\": [] }";
        String expected = "{\"signatures\":[],\"signed\":{\"_type\":\"root\","
                          + "\"keys\":{\"a\":\"q\\\"\\\\/\",\"b\":[2,1,{\"a\":null,\"z\":true}]},\"version\":3}}";
        assertEquals(expected, new String(Json.canonical(Json.parse(pretty)), StandardCharsets.US_ASCII));
    }

    @Test
    void unicodeEscapeOfPrintableCharacterCanonicalizesToTheCharacter() throws Exception {
        assertEquals("\"A-\"", new String(Json.canonical(Json.parse("\"\\u0041\\u002d\"")), StandardCharsets.US_ASCII));
    }

    static Stream<Arguments> refused() {
        return Stream.of(Arguments.of("duplicate key", "{\"a\":1,\"a\":2}"),
                         Arguments.of("fraction", "{\"a\":1.5}"),
                         Arguments.of("exponent", "{\"a\":1e3}"),
                         Arguments.of("leading zero", "[01]"),
                         Arguments.of("negative zero", "[-0]"),
                         Arguments.of("integer beyond 64 bits", "[9223372036854775808]"),
                         Arguments.of("raw control character", "[\"a\tb\"]"),
                         Arguments.of("newline escape", "[\"a\\nb\"]"),
                         Arguments.of("escaped control character", "[\"\\u0007\"]"),
                         Arguments.of("non-ASCII byte", "[\"caf\u00e9\"]"),
                         Arguments.of("escaped non-ASCII", "[\"\\u00e9\"]"),
                         Arguments.of("trailing data", "{} {}"),
                         Arguments.of("trailing comma", "[1,]"),
                         Arguments.of("comment", "{/* c */}"),
                         Arguments.of("single quotes", "{'a':1}"),
                         Arguments.of("unterminated string", "[\"abc"),
                         Arguments.of("unterminated object", "{\"a\":1"),
                         Arguments.of("bare word", "[nul]"),
                         Arguments.of("empty input", ""),
                         Arguments.of("byte order mark", "\u00ef\u00bb\u00bf{}"),
                         Arguments.of("nesting beyond the limit", "[".repeat(70) + "]".repeat(70)));
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource("refused")
    void refusesWhatTwoParsersCouldReadDifferently(String name, String text) {
        Failure f = assertThrows(Failure.class, () -> Json.parse(text.getBytes(StandardCharsets.ISO_8859_1)));
        assertEquals(Failure.Kind.VERIFICATION, f.kind);
    }

    @Test
    void typedAccessNamesTheMissingOrMistypedField() throws Exception {
        Object o = Json.parse("{\"version\":\"3\"}");
        assertEquals("\"version\" is not an integer",
                     assertThrows(Failure.class, () -> Json.integer(o, "version")).getMessage());
        assertEquals("missing \"expires\"", assertThrows(Failure.class, () -> Json.string(o, "expires")).getMessage());
    }

    // RFC 8032, section 7.1, tests 1 to 3: an independent Ed25519 implementation's output.
    static Stream<Arguments> rfc8032() {
        return Stream.of(
            Arguments.of("d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", "",
                         "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b46b"
                             + "d25bf5f0595bbe24655141438e7a100b"),
            Arguments.of("3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c", "72",
                         "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613d0f11d8c"
                             + "387b2eaeb4302aeeb00d291612bb0c00"),
            Arguments.of("fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025", "af82",
                         "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac18ff9b538d16f290ae67f760984dc659"
                             + "4a7c15e9716ed28dc027beceea1ec40a"));
    }

    @ParameterizedTest
    @MethodSource("rfc8032")
    void verifiesReferenceSignaturesAndRefusesAnyChangedByte(String key, String message, String signature) {
        var publicKey = Ed25519.publicKey(Hashes.unhex(key, 32));
        byte[] msg = Hashes.unhex(message, message.length() / 2);
        byte[] sig = Hashes.unhex(signature, 64);
        assertEquals(true, Ed25519.verify(publicKey, msg, sig));
        byte[] badSig = sig.clone();
        badSig[10] ^= 1;
        assertEquals(false, Ed25519.verify(publicKey, msg, badSig));
        byte[] badMsg = java.util.Arrays.copyOf(msg, msg.length + 1);
        assertEquals(false, Ed25519.verify(publicKey, badMsg, sig));
        assertEquals(false, Ed25519.verify(publicKey, msg, java.util.Arrays.copyOf(sig, 63)));
    }

    @Test
    void hexRoundTripAndRefusals() {
        byte[] b = {0, (byte) 0xab, 0x7f};
        assertEquals("00ab7f", Hashes.hex(b));
        assertArrayEquals(b, Hashes.unhex("00ab7f", 3));
        assertEquals(null, Hashes.unhex("00AB7F", 3));
        assertEquals(null, Hashes.unhex("00ab7", 3));
        assertEquals(null, Hashes.unhex("00abzz", 3));
    }
}
