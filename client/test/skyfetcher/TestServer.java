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
 * The JDK's HTTP server on 127.0.0.1 with a free port, for the faults a
 * production web server cannot be made to show: per-path handlers override
 * serving a directory (with single ranges, as a static server does). Every
 * request is recorded as "GET /path" plus " Range: ..." when one was sent.
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

    /** Serves the files below dir for paths without a handler of their own. */
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
            requests.add(ex.getRequestMethod() + " " + path + (range != null ? " Range: " + range : ""));
        }
        try {
            HttpHandler h = handlers.get(path);
            if (h != null) {
                h.handle(ex);
            } else if (root != null && Files.isRegularFile(root.resolve(path.substring(1)).normalize())
                       && root.resolve(path.substring(1)).normalize().startsWith(root)) {
                file(Files.readAllBytes(root.resolve(path.substring(1)).normalize())).handle(ex);
            } else {
                status(404).handle(ex);
            }
        } finally {
            ex.close();
        }
    }

    private static final Pattern RANGE = Pattern.compile("bytes=([0-9]+)-");

    /** The bytes, honouring an open-ended Range as a static server does (206, or 416 past the end). */
    static HttpHandler file(byte[] data) {
        return ex -> {
            String range = ex.getRequestHeaders().getFirst("Range");
            Matcher m = range == null ? null : RANGE.matcher(range);
            if (m != null && m.matches()) {
                long start = Long.parseLong(m.group(1));
                if (start >= data.length) {
                    ex.getResponseHeaders().add("Content-Range", "bytes */" + data.length);
                    ex.sendResponseHeaders(416, -1);
                    return;
                }
                ex.getResponseHeaders().add("Content-Range",
                                            "bytes " + start + "-" + (data.length - 1) + "/" + data.length);
                ex.sendResponseHeaders(206, data.length - start);
                try (OutputStream out = ex.getResponseBody()) {
                    out.write(data, (int) start, (int) (data.length - start));
                }
                return;
            }
            whole(200, data).handle(ex);
        };
    }

    /** The bytes with the given status, ignoring any Range. */
    static HttpHandler whole(int status, byte[] data) {
        return ex -> {
            ex.sendResponseHeaders(status, data.length == 0 ? -1 : data.length);
            try (OutputStream out = ex.getResponseBody()) {
                out.write(data);
            }
        };
    }

    static HttpHandler status(int status, String... headers) {
        return ex -> {
            for (int i = 0; i + 1 < headers.length; i += 2) ex.getResponseHeaders().add(headers[i], headers[i + 1]);
            ex.sendResponseHeaders(status, -1);
        };
    }

    /**
     * Announces the full length, sends the first cut bytes and then either
     * closes the connection (pauseMillis 0) or waits that long first.
     */
    static HttpHandler cutAfter(byte[] data, int cut, long pauseMillis) {
        return ex -> {
            ex.sendResponseHeaders(200, data.length);
            OutputStream out = ex.getResponseBody();
            out.write(data, 0, cut);
            out.flush();
            if (pauseMillis > 0) {
                try {
                    Thread.sleep(pauseMillis);
                } catch (InterruptedException e) {
                    Thread.currentThread().interrupt();
                }
            }
            // Closing the exchange before the announced length ends the
            // connection: the client sees the body cut short.
        };
    }

    /** Responses in turn: the first request gets the first handler, and so on; the last repeats. */
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
