package skyfetcher;

import com.sun.net.httpserver.*;
import java.io.IOException;
import java.net.*;
import java.nio.file.*;
import java.util.*;
import java.util.concurrent.*;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.concurrent.locks.LockSupport;
import java.util.regex.*;

// The JDK's HTTP server on 127.0.0.1 for faults nginx cannot show: per-path handlers, else files of a directory.
// Requests are recorded as "GET /path", plus " Range: ..." when one was sent.
final class TestServer implements AutoCloseable {
    private final HttpServer server = HttpServer.create(new InetSocketAddress("127.0.0.1", 0), 50);
    private final ExecutorService pool = Executors.newCachedThreadPool();
    private final Map<String, HttpHandler> handlers = new ConcurrentHashMap<>();
    private final List<String> requests = Collections.synchronizedList(new ArrayList<>());

    TestServer(Path root) throws IOException {
        server.setExecutor(pool);
        server.createContext("/", ex -> {
            String path = ex.getRequestURI().getRawPath(), range = ex.getRequestHeaders().getFirst("Range");
            requests.add("GET " + path + (range != null ? " Range: " + range : ""));
            Path file = root.resolve(path.substring(1)).normalize();
            try (ex) {
                if (handlers.containsKey(path))
                    handlers.get(path).handle(ex);
                else if (file.startsWith(root) && Files.isRegularFile(file))
                    file(Files.readAllBytes(file)).handle(ex);
                else
                    status(404).handle(ex);
            }
        });
        server.start();
    }

    URI url(String path) { return URI.create("http://127.0.0.1:" + server.getAddress().getPort() + path); }
    void on(String path, HttpHandler handler) { handlers.put(path, handler); }
    List<String> requests() { return List.copyOf(requests); }

    private static final Pattern RANGE = Pattern.compile("bytes=([0-9]+)-");

    /** The bytes, honouring an open-ended Range as a static server does (206, or 416 past the end). */
    static HttpHandler file(byte[] data) {
        return ex -> {
            Matcher m = RANGE.matcher(String.valueOf(ex.getRequestHeaders().getFirst("Range")));
            int start = m.matches() ? (int) Math.min(Long.parseLong(m.group(1)), data.length) : 0;
            if (!m.matches())
                whole(200, data).handle(ex);
            else if (start == data.length)
                status(416, "Content-Range", "bytes */" + data.length).handle(ex);
            else
                from(start, data).handle(ex);
        };
    }

    /** A 206 with the bytes from start on, whatever Range was asked for. */
    static HttpHandler from(int start, byte[] data) {
        return ex -> {
            ex.getResponseHeaders().add("Content-Range",
                                        "bytes " + start + "-" + (data.length - 1) + "/" + data.length);
            ex.sendResponseHeaders(206, data.length - start);
            ex.getResponseBody().write(data, start, data.length - start);
        };
    }

    /** The bytes with the given status, ignoring any Range; a length of 0 sends them chunked. */
    static HttpHandler whole(int status, byte[] data, long length) {
        return ex -> {
            ex.sendResponseHeaders(status, length);
            ex.getResponseBody().write(data);
        };
    }

    static HttpHandler whole(int status, byte[] data) { return whole(status, data, data.length); }

    static HttpHandler status(int status, String... headers) {
        return ex -> {
            for (int i = 0; i + 1 < headers.length; i += 2) ex.getResponseHeaders().add(headers[i], headers[i + 1]);
            ex.sendResponseHeaders(status, -1);
        };
    }

    /** Announces the whole length, sends the first cut bytes, waits, then drops the connection. */
    static HttpHandler cutAfter(byte[] data, int cut, long pauseMillis) {
        return ex -> {
            ex.sendResponseHeaders(200, data.length);
            ex.getResponseBody().write(data, 0, cut);
            ex.getResponseBody().flush();
            LockSupport.parkNanos(pauseMillis * 1_000_000);
        };
    }

    /** Handlers in turn, one per request; the last one repeats. */
    static HttpHandler sequence(HttpHandler... steps) {
        AtomicInteger next = new AtomicInteger();
        return ex -> steps[Math.min(next.getAndIncrement(), steps.length - 1)].handle(ex);
    }

    @Override
    public void close() {
        server.stop(0);
        pool.shutdownNow();
    }
}
