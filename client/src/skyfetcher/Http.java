package skyfetcher;

import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.InputStream;
import java.net.HttpURLConnection;
import java.net.SocketTimeoutException;
import java.net.URI;
import java.net.URLConnection;
import java.nio.ByteBuffer;
import java.nio.channels.FileChannel;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardOpenOption;
import java.security.MessageDigest;
import java.time.ZonedDateTime;
import java.time.format.DateTimeFormatter;
import java.time.format.DateTimeParseException;
import java.util.Locale;
import java.util.regex.Matcher;
import java.util.regex.Pattern;

/**
 * HTTP downloads from one mirror: small files into memory under a size cap,
 * and targets streamed to a partial file that a later run, or another
 * mirror, can resume with Range.
 *
 * The JDK's URL connection is used rather than its newer HTTP client: the
 * newer client's request timeout only covers the wait for the headers, so a
 * server that stops in the middle of a body needs a watchdog of its own,
 * and it hands the body over in freshly allocated buffers, so the heap of a
 * long download fills with garbage (its peak RSS grew with the set size).
 * Here every socket read, headers and body alike, is bounded by the stall
 * timeout, and the body is read into one reused buffer, so memory does not
 * depend on the size of what is fetched. Proxies come from the standard
 * http(s).proxyHost/Port and nonProxyHosts properties.
 *
 * Outcomes: the data; {@link Missing} for 403, 404 and 410 (static stores
 * answer 403 for a file they do not have, so it is not read as a lock-out);
 * a Failure of kind NETWORK (connection, stall, other statuses, an early
 * end) or VERIFICATION (more data than declared, a wrong hash or length).
 */
public final class Http {
    /** The file is not on this mirror. */
    public static final class Missing extends Exception {
        private static final long serialVersionUID = 1L;

        Missing(String message) {
            super(message);
        }
    }

    /** Waits out a Retry-After; tests replace it to keep them fast. */
    public interface Sleeper {
        void sleep(long millis) throws InterruptedException;
    }

    private final Config config;
    private final Log log;
    private final Sleeper sleeper;
    private final byte[] buffer = new byte[1 << 16];
    /** Bytes received from the network in this run, for the report. */
    private long bytesReceived;

    public Http(Config config, Log log, Sleeper sleeper) {
        this.config = config;
        this.log = log;
        this.sleeper = sleeper;
    }

    public long bytesReceived() {
        return bytesReceived;
    }

    /** A whole small file, at most cap bytes (more is refused as endless data). */
    public byte[] fetchSmall(URI url, long cap) throws Failure, Missing {
        for (int attempt = 0;; ++attempt) {
            try (Response r = send(url, 0)) {
                if (r.status == 200) {
                    checkDeclaredLength(r, cap, url);
                    ByteArrayOutputStream out = new ByteArrayOutputStream();
                    for (int n; (n = r.read(buffer)) > 0;) {
                        if (out.size() + n > cap)
                            throw Failure.verification(url + ": more than " + cap + " bytes");
                        out.write(buffer, 0, n);
                    }
                    r.complete();
                    return out.toByteArray();
                }
                handleStatus(r, url, attempt);
            }
        }
    }

    /**
     * Downloads a target into partial (named by its expected hash by the
     * caller), resuming what is there. Returns once partial holds exactly
     * length bytes with the expected SHA-256; a partial that turns out
     * wrong is deleted, one cut short is kept for the next attempt.
     */
    public void fetchTarget(URI url, long length, byte[] sha256, Path partial) throws Failure, Missing {
        boolean restarted = false;
        for (int attempt = 0;; ++attempt) {
            long have = size(partial);
            if (have > length) {
                delete(partial);
                have = 0;
            }
            if (have == length) {
                if (Hashes.equal(Hashes.sha256(partial), sha256))
                    return;
                log.debug("partial " + partial.getFileName() + " is complete but wrong; starting again");
                delete(partial);
                have = 0;
            }
            try (Response r = send(url, have)) {
                if (r.status == 200 || (r.status == 206 && contentRangeStart(r, length) == have)) {
                    if (r.status == 200)
                        checkDeclaredLength(r, length, url);
                    if (have > 0)
                        log.debug(r.status == 206 ? "resuming " + url + " at byte " + have
                                                  : "server ignored the range; restarting " + url);
                    receive(r, url, partial, r.status == 206 ? have : 0, length, sha256);
                    return;
                }
                if (r.status == 206 || r.status == 416) {
                    // A range we did not ask for, or the partial no longer
                    // fits what the server has: start over once without
                    // Range rather than splice bytes.
                    if (restarted)
                        throw Failure.network(url + ": HTTP " + r.status + " to a request without a range");
                    restarted = true;
                    delete(partial);
                    continue;
                }
                handleStatus(r, url, attempt);
            }
        }
    }

    /** Writes the body at offset start, hashing the kept prefix and the new bytes together. */
    private void receive(Response r, URI url, Path partial, long start, long length, byte[] sha256)
        throws Failure {
        MessageDigest digest = Hashes.newSha256();
        boolean tooLong = false;
        try (FileChannel out = FileChannel.open(partial, StandardOpenOption.CREATE, StandardOpenOption.READ,
                                                StandardOpenOption.WRITE)) {
            if (start > 0)
                Hashes.update(digest, out, start);
            out.truncate(start);
            out.position(start);
            long got = start;
            for (int n; (n = r.read(buffer)) > 0;) {
                if (got + n > length) {
                    tooLong = true;
                    break;
                }
                got += n;
                digest.update(buffer, 0, n);
                ByteBuffer b = ByteBuffer.wrap(buffer, 0, n);
                while (b.hasRemaining()) out.write(b);
            }
            if (!tooLong && got < length)
                throw Failure.network(url + ": the transfer ended after " + got + " of " + length + " bytes");
        } catch (IOException e) {
            throw Failure.local("cannot write " + partial + ": " + e.getMessage());
        }
        if (tooLong) {
            delete(partial);
            throw Failure.verification(url + ": the server sent more than the declared " + length + " bytes");
        }
        r.complete();
        if (!Hashes.equal(digest.digest(), sha256)) {
            delete(partial);
            throw Failure.verification(url + ": SHA-256 does not match the signed targets");
        }
    }

    /** Statuses other than success: missing, waiting, or giving up on this mirror. */
    private void handleStatus(Response r, URI url, int attempt) throws Failure, Missing {
        int s = r.status;
        if (s == 403 || s == 404 || s == 410)
            throw new Missing(url + ": HTTP " + s);
        if (s == 429 || s == 503) {
            long wait = retryAfterMillis(r.header("Retry-After"));
            if (wait < 0)
                throw Failure.network(url + ": HTTP " + s + " without a usable Retry-After");
            if (wait > config.maxRetryAfterSeconds * 1000L)
                throw Failure.network(url + ": HTTP " + s + " asks to wait " + (wait / 1000)
                                      + " s, more than max_retry_after");
            if (attempt >= config.retries)
                throw Failure.network(url + ": HTTP " + s + " after " + config.retries + " retries");
            log.step("server busy (HTTP " + s + "); retrying in " + ((wait + 999) / 1000) + " s");
            try {
                sleeper.sleep(wait);
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
                throw Failure.network("interrupted while waiting to retry " + url);
            }
            return;
        }
        throw Failure.network(url + ": HTTP " + s);
    }

    private static final DateTimeFormatter HTTP_DATE = DateTimeFormatter.RFC_1123_DATE_TIME.withLocale(Locale.US);

    /** Retry-After as delay-seconds or an HTTP date; -1 when absent or unreadable. */
    static long retryAfterMillis(String value) {
        if (value == null)
            return -1;
        String v = value.strip();
        if (v.matches("[0-9]{1,9}"))
            return Long.parseLong(v) * 1000L;
        try {
            long ms = ZonedDateTime.parse(v, HTTP_DATE).toInstant().toEpochMilli() - System.currentTimeMillis();
            return Math.max(0, ms);
        } catch (DateTimeParseException e) {
            return -1;
        }
    }

    private static final Pattern CONTENT_RANGE = Pattern.compile("bytes ([0-9]+)-([0-9]+)/([0-9]+|\\*)");

    /** The start of a 206 body that runs to the end of a file of the expected length, else -1. */
    private static long contentRangeStart(Response r, long length) {
        String v = r.header("Content-Range");
        Matcher m = CONTENT_RANGE.matcher(v == null ? "" : v.strip());
        if (!m.matches())
            return -1;
        try {
            long first = Long.parseLong(m.group(1)), last = Long.parseLong(m.group(2));
            if (!m.group(3).equals("*") && Long.parseLong(m.group(3)) != length)
                return -1;
            return last == length - 1 && first <= last ? first : -1;
        } catch (NumberFormatException e) {
            return -1;
        }
    }

    /** Refuses early when Content-Length already announces more than allowed. */
    private static void checkDeclaredLength(Response r, long cap, URI url) throws Failure {
        long declared = r.connection.getContentLengthLong();
        if (declared > cap)
            throw Failure.verification(url + ": Content-Length " + declared + " is more than the " + cap
                                       + " bytes allowed");
    }

    private Response send(URI url, long rangeStart) throws Failure {
        log.debug("GET " + url + (rangeStart > 0 ? " from byte " + rangeStart : ""));
        HttpURLConnection c = null;
        try {
            URLConnection uc = url.toURL().openConnection();
            if (!(uc instanceof HttpURLConnection))
                throw Failure.config(url + " is not an http or https URL");
            c = (HttpURLConnection) uc;
            c.setConnectTimeout(config.connectTimeoutSeconds * 1000);
            c.setReadTimeout(config.stallTimeoutSeconds * 1000);
            c.setUseCaches(false);
            c.setInstanceFollowRedirects(true);
            c.setRequestProperty("Accept-Encoding", "identity");
            if (rangeStart > 0)
                c.setRequestProperty("Range", "bytes=" + rangeStart + "-");
            int status = c.getResponseCode();
            return new Response(c, status, url);
        } catch (IOException e) {
            if (c != null)
                c.disconnect();
            throw Failure.network(url + ": " + describe(e));
        }
    }

    private String describe(IOException e) {
        if (e instanceof SocketTimeoutException)
            return "no data for " + config.stallTimeoutSeconds + " s; giving up";
        String m = e.getMessage();
        return e.getClass().getSimpleName() + (m != null ? ": " + m : "");
    }

    private static long size(Path p) throws Failure {
        try {
            return Files.exists(p) ? Files.size(p) : 0;
        } catch (IOException e) {
            throw Failure.local("cannot examine " + p + ": " + e.getMessage());
        }
    }

    private static void delete(Path p) throws Failure {
        try {
            Files.deleteIfExists(p);
        } catch (IOException e) {
            throw Failure.local("cannot delete " + p + ": " + e.getMessage());
        }
    }

    /**
     * One response. Closing it after its body was read to the end lets the
     * connection serve the next request; closing it earlier drops the
     * connection, since the rest of that body would otherwise be read (or
     * waited for) by the next request on it.
     */
    private final class Response implements AutoCloseable {
        final HttpURLConnection connection;
        final int status;
        final URI url;
        private InputStream body;
        private boolean complete;

        Response(HttpURLConnection connection, int status, URI url) {
            this.connection = connection;
            this.status = status;
            this.url = url;
        }

        String header(String name) {
            return connection.getHeaderField(name);
        }

        /** Like InputStream.read; -1 at the end. */
        int read(byte[] b) throws Failure {
            try {
                if (body == null)
                    body = status >= 400 ? connection.getErrorStream() : connection.getInputStream();
                if (body == null)
                    return -1;
                int n = body.read(b);
                if (n > 0)
                    bytesReceived += n;
                return n;
            } catch (IOException e) {
                throw Failure.network(url + ": " + describe(e));
            }
        }

        /** The body was read to its end. */
        void complete() {
            complete = true;
        }

        @Override
        public void close() {
            if (complete && body != null) {
                try {
                    body.close();
                    return;
                } catch (IOException e) {
                    // fall through: drop the connection
                }
            }
            connection.disconnect();
        }
    }
}
