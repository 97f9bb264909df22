package skyfetcher;

import com.sun.net.httpserver.HttpExchange;
import com.sun.net.httpserver.HttpHandler;
import com.sun.net.httpserver.HttpServer;
import java.io.IOException;
import java.io.OutputStream;
import java.net.InetSocketAddress;
import java.net.URI;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import java.util.concurrent.ConcurrentHashMap;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.regex.Matcher;
import java.util.regex.Pattern;

/**
 * The JDK's HTTP server on 127.0.0.1 for faults a production server cannot
 * be made to show: per-path handlers override serving a directory. Every
 * request is recorded as "GET /path", plus " Range: ..." when one was sent.
 */
final class TestServer implements AutoCloseable {
    private final HttpServer server;
    private final ExecutorService pool = Executors.newCachedThreadPool();
    private final Map<String, HttpHandler> handlers = new ConcurrentHashMap<>();
    private final List<String> requests = new ArrayList<>();
    private volatile Path root;

    TestServer() throws IOException {
        server = HttpServer.create(new InetSocketAddress("127.0.0.1", 0), 50);
        server.setExecutor(pool);
        server.createContext("/", this::dispatch);
        server.start();
    }

    URI url(String path) {
        return URI.create("http://127.0.0.1:" + server.getAddress().getPort() + path);
    }

    void serve(Path dir) {
        root = dir;
    }

    void on(String path, HttpHandler handler) {
        handlers.put(path, handler);
    }

    synchronized List<String> requests() {
        return new ArrayList<>(requests);
    }

    private void dispatch(HttpExchange ex) throws IOException {
        String path = ex.getRequestURI().getRawPath();
        String range = ex.getRequestHeaders().getFirst("Range");
        synchronized (this) {
            requests.add("GET " + path + (range != null ? " Range: " + range : ""));
        }
        try (ex) {
            Path file = root == null ? null : root.resolve(path.substring(1)).normalize();
            if (handlers.containsKey(path))
                handlers.get(path).handle(ex);
            else if (file != null && file.startsWith(root) && Files.isRegularFile(file))
                file(Files.readAllBytes(file)).handle(ex);
            else
                status(404).handle(ex);
        }
    }

    private static final Pattern RANGE = Pattern.compile("bytes=([0-9]+)-");

    /** The bytes, honouring an open-ended Range as a static server does (206, or 416 past the end). */
    static HttpHandler file(byte[] data) {
        return ex -> {
            String range = ex.getRequestHeaders().getFirst("Range");
            Matcher m = RANGE.matcher(range == null ? "" : range);
            if (!m.matches()) {
                whole(200, data).handle(ex);
                return;
            }
            int start = (int) Math.min(Long.parseLong(m.group(1)), data.length);
            if (start == data.length) {
                ex.getResponseHeaders().add("Content-Range", "bytes */" + data.length);
                ex.sendResponseHeaders(416, -1);
                return;
            }
            ex.getResponseHeaders().add("Content-Range", "bytes " + start + "-" + (data.length - 1) + "/" + data.length);
            ex.sendResponseHeaders(206, data.length - start);
            ex.getResponseBody().write(data, start, data.length - start);
        };
    }

    /** The bytes with the given status, ignoring any Range. */
    static HttpHandler whole(int status, byte[] data) {
        return ex -> {
            ex.sendResponseHeaders(status, data.length == 0 ? -1 : data.length);
            ex.getResponseBody().write(data);
        };
    }

    /** A status without a body, with header name and value pairs. */
    static HttpHandler status(int status, String... headers) {
        return ex -> {
            for (int i = 0; i + 1 < headers.length; i += 2) ex.getResponseHeaders().add(headers[i], headers[i + 1]);
            ex.sendResponseHeaders(status, -1);
        };
    }

    /**
     * Announces the whole length, sends the first cut bytes, waits
     * pauseMillis, then ends the exchange short, which drops the connection.
     */
    static HttpHandler cutAfter(byte[] data, int cut, long pauseMillis) {
        return ex -> {
            ex.sendResponseHeaders(200, data.length);
            OutputStream out = ex.getResponseBody();
            out.write(data, 0, cut);
            out.flush();
            try {
                Thread.sleep(pauseMillis);
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
            }
        };
    }

    /** Handlers in turn, one per request; the last one repeats. */
    static HttpHandler sequence(HttpHandler... steps) {
        int[] next = {0};
        return ex -> {
            HttpHandler h;
            synchronized (next) {
                h = steps[Math.min(next[0]++, steps.length - 1)];
            }
            h.handle(ex);
        };
    }

    @Override
    public void close() {
        server.stop(0);
        pool.shutdownNow();
    }
}
