package skyfetcher;

import java.io.IOException;
import java.net.ProxySelector;
import java.net.URI;
import java.net.http.HttpClient;
import java.net.http.HttpHeaders;
import java.net.http.HttpRequest;
import java.net.http.HttpResponse;
import java.nio.ByteBuffer;
import java.nio.channels.FileChannel;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardOpenOption;
import java.security.MessageDigest;
import java.time.Duration;
import java.time.ZonedDateTime;
import java.time.format.DateTimeFormatter;
import java.time.format.DateTimeParseException;
import java.util.List;
import java.util.Locale;
import java.util.concurrent.BlockingQueue;
import java.util.concurrent.Flow;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.TimeUnit;
import java.util.regex.Matcher;
import java.util.regex.Pattern;

/**
 * HTTP downloads from one mirror: small files into memory under a size cap,
 * and targets streamed to a partial file that a later run, or another
 * mirror, can resume with Range.
 *
 * The body is read through a subscriber that holds at most one chunk ahead,
 * so memory does not grow with the file, and every wait for the next chunk
 * is bounded by the stall timeout: the request timeout of the JDK's client
 * only covers the wait for the response headers, and a server that stops
 * sending in the middle of a body would otherwise hang the run.
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

    private final HttpClient client;
    private final Config config;
    private final Log log;
    private final Sleeper sleeper;
    /** Bytes received from the network in this run, for the report and the benchmark. */
    private long bytesReceived;

    public Http(Config config, Log log, Sleeper sleeper) {
        this.config = config;
        this.log = log;
        this.sleeper = sleeper;
        // Plain HTTP/1.1: an h2c upgrade attempt buys nothing from a static
        // mirror, and some servers mishandle it. The default proxy selector
        // reads the standard http(s).proxyHost/Port and nonProxyHosts
        // properties; without it the client would use no proxy at all.
        this.client = HttpClient.newBuilder()
                          .version(HttpClient.Version.HTTP_1_1)
                          .connectTimeout(Duration.ofSeconds(config.connectTimeoutSeconds))
                          .followRedirects(HttpClient.Redirect.NORMAL)
                          .proxy(ProxySelector.getDefault())
                          .build();
    }

    public long bytesReceived() {
        return bytesReceived;
    }

    /** A whole small file, at most cap bytes (more is refused as endless data). */
    public byte[] fetchSmall(URI url, long cap) throws Failure, Missing {
        for (int attempt = 0;; ++attempt) {
            Response r = send(url, -1);
            try {
                if (r.status == 200) {
                    checkDeclaredLength(r, cap, url);
                    java.io.ByteArrayOutputStream out = new java.io.ByteArrayOutputStream();
                    long got = 0;
                    for (ByteBuffer b; (b = r.body.next()) != null;) {
                        got += b.remaining();
                        if (got > cap)
                            throw Failure.verification(url + ": more than " + cap + " bytes");
                        byte[] chunk = new byte[b.remaining()];
                        b.get(chunk);
                        out.write(chunk, 0, chunk.length);
                    }
                    return out.toByteArray();
                }
                handleStatus(r, url, attempt);
            } finally {
                r.body.cancel();
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
            Response r = send(url, have);
            try {
                if (r.status == 200 || r.status == 206) {
                    long start = 0;
                    if (r.status == 206) {
                        start = contentRangeStart(r, length);
                        if (start != have) {
                            // A range we did not ask for: start over once
                            // without Range rather than splice bytes.
                            if (restarted)
                                throw Failure.network(url + ": unusable Content-Range");
                            restarted = true;
                            delete(partial);
                            continue;
                        }
                    } else {
                        checkDeclaredLength(r, length, url);
                    }
                    if (have > 0)
                        log.debug(r.status == 206 ? "resuming " + url + " at byte " + have
                                                  : "server ignored the range; restarting " + url);
                    receive(r, url, partial, start, length, sha256);
                    return;
                }
                if (r.status == 416) {
                    // The partial no longer fits what the server has.
                    if (restarted)
                        throw Failure.network(url + ": HTTP 416 without a range");
                    restarted = true;
                    delete(partial);
                    continue;
                }
                handleStatus(r, url, attempt);
            } finally {
                r.body.cancel();
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
            for (ByteBuffer b; (b = r.body.next()) != null;) {
                if (got + b.remaining() > length) {
                    tooLong = true;
                    break;
                }
                got += b.remaining();
                digest.update(b.duplicate());
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
            long wait = retryAfterMillis(r.headers);
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
    static long retryAfterMillis(HttpHeaders headers) {
        String v = headers.firstValue("Retry-After").orElse(null);
        if (v == null)
            return -1;
        v = v.strip();
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

    /** The start of a 206 body, checked to run to the end of a file of the expected length. */
    private static long contentRangeStart(Response r, long length) throws Failure {
        String v = r.headers.firstValue("Content-Range").orElse("");
        Matcher m = CONTENT_RANGE.matcher(v.strip());
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
        long declared = r.headers.firstValueAsLong("Content-Length").orElse(-1);
        if (declared > cap)
            throw Failure.verification(url + ": Content-Length " + declared + " is more than the " + cap
                                       + " bytes allowed");
    }

    private Response send(URI url, long rangeStart) throws Failure {
        HttpRequest.Builder b = HttpRequest.newBuilder(url)
                                    .timeout(Duration.ofSeconds(config.stallTimeoutSeconds))
                                    .header("Accept-Encoding", "identity")
                                    .GET();
        if (rangeStart > 0)
            b.header("Range", "bytes=" + rangeStart + "-");
        log.debug("GET " + url + (rangeStart > 0 ? " from byte " + rangeStart : ""));
        HttpResponse<Flow.Publisher<List<ByteBuffer>>> response;
        try {
            response = client.send(b.build(), HttpResponse.BodyHandlers.ofPublisher());
        } catch (IOException e) {
            throw Failure.network(url + ": " + describe(e));
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
            throw Failure.network(url + ": interrupted");
        }
        Body body = new Body(url, config.stallTimeoutSeconds * 1000L);
        response.body().subscribe(body);
        return new Response(response.statusCode(), response.headers(), body);
    }

    private static String describe(IOException e) {
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

    private static final class Response {
        final int status;
        final HttpHeaders headers;
        final Body body;

        Response(int status, HttpHeaders headers, Body body) {
            this.status = status;
            this.headers = headers;
            this.body = body;
        }
    }

    /**
     * The body as a sequence of buffers, one requested at a time, each wait
     * bounded by the stall timeout.
     */
    private final class Body implements Flow.Subscriber<List<ByteBuffer>> {
        private final Object end = new Object();
        private final BlockingQueue<Object> queue = new LinkedBlockingQueue<>();
        private final URI url;
        private final long stallMillis;
        private Flow.Subscription subscription;
        private List<ByteBuffer> current;
        private int index;
        private boolean finished;
        private boolean cancelled;

        Body(URI url, long stallMillis) {
            this.url = url;
            this.stallMillis = stallMillis;
        }

        @Override
        public void onSubscribe(Flow.Subscription s) {
            boolean drop;
            synchronized (this) {
                subscription = s;
                drop = cancelled;
            }
            if (drop)
                s.cancel();
            else
                s.request(1);
        }

        @Override
        public void onNext(List<ByteBuffer> item) {
            queue.add(item);
        }

        @Override
        public void onError(Throwable t) {
            queue.add(t);
        }

        @Override
        public void onComplete() {
            queue.add(end);
        }

        /** The next non-empty buffer, or null at the end of the body. */
        ByteBuffer next() throws Failure {
            while (true) {
                if (current != null && index < current.size()) {
                    ByteBuffer b = current.get(index++);
                    if (b.hasRemaining()) {
                        bytesReceived += b.remaining();
                        return b;
                    }
                    continue;
                }
                if (finished)
                    return null;
                Object item;
                try {
                    item = queue.poll(stallMillis, TimeUnit.MILLISECONDS);
                } catch (InterruptedException e) {
                    Thread.currentThread().interrupt();
                    throw Failure.network(url + ": interrupted");
                }
                if (item == null)
                    throw Failure.network(url + ": no data for " + stallMillis / 1000 + " s; giving up");
                if (item == end) {
                    finished = true;
                    return null;
                }
                if (item instanceof Throwable) {
                    Throwable t = (Throwable) item;
                    throw Failure.network(url + ": " + (t instanceof IOException ? describe((IOException) t)
                                                                                  : t.toString()));
                }
                @SuppressWarnings("unchecked")
                List<ByteBuffer> list = (List<ByteBuffer>) item;
                current = list;
                index = 0;
                Flow.Subscription s;
                synchronized (this) {
                    s = subscription;
                }
                s.request(1);
            }
        }

        /** Gives the connection up; harmless after the end. */
        void cancel() {
            Flow.Subscription s;
            synchronized (this) {
                cancelled = true;
                s = subscription;
            }
            if (s != null && !finished)
                s.cancel();
        }
    }
}
