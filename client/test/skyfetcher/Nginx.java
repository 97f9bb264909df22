package skyfetcher;

import java.io.IOException;
import java.net.InetSocketAddress;
import java.net.ServerSocket;
import java.net.Socket;
import java.net.URI;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.List;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.Assumptions;

/**
 * Debian's nginx serving a directory on 127.0.0.1 with its own
 * configuration, in the foreground as a child of the test so it is always
 * stopped with it. When it cannot be started the calling test is aborted
 * (reported as skipped, with the reason), never passed.
 */
final class Nginx implements AutoCloseable {
    private final Process process;
    private final int port;
    final Path accessLog;

    private Nginx(Process process, int port, Path accessLog) {
        this.process = process;
        this.port = port;
        this.accessLog = accessLog;
    }

    static Nginx serve(Path root, Path work) throws Exception {
        String binary = Rig.property("skyfetcher.nginx");
        Files.createDirectories(work.resolve("tmp"));
        String lastError = "";
        for (int attempt = 0; attempt < 5; ++attempt) {
            int port = freePort();
            String temps = "";
            for (String t : List.of("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
                temps += "  " + t + "_temp_path " + work.resolve("tmp/" + t) + ";\n";
            String user = System.getProperty("user.name").equals("root") ? "user root;\n" : "";
            String conf = user + "daemon off;\nworker_processes 1;\npid " + work.resolve("nginx.pid") + ";\n"
                          + "error_log " + work.resolve("error.log") + ";\n"
                          + "events { worker_connections 64; }\nhttp {\n"
                          + "  access_log " + work.resolve("access.log") + ";\n"
                          + temps + "  default_type application/octet-stream;\n"
                          + "  server { listen 127.0.0.1:" + port + "; root " + root + "; }\n}\n";
            Path confFile = work.resolve("nginx.conf");
            Files.writeString(confFile, conf);
            Process p;
            try {
                p = new ProcessBuilder(List.of(binary, "-p", work.toString(), "-c", confFile.toString(), "-e",
                                               work.resolve("error.log").toString()))
                        .redirectErrorStream(true)
                        .redirectOutput(work.resolve("stdout.log").toFile())
                        .start();
            } catch (IOException e) {
                Assumptions.abort("nginx could not be started (" + binary + "): " + e.getMessage());
                throw e;
            }
            for (int i = 0; i < 100 && p.isAlive(); ++i) {
                if (accepts(port))
                    return new Nginx(p, port, work.resolve("access.log"));
                Thread.sleep(50);
            }
            p.destroyForcibly().waitFor(10, TimeUnit.SECONDS);
            lastError = Files.exists(work.resolve("error.log")) ? Files.readString(work.resolve("error.log")) : "";
        }
        Assumptions.abort("nginx could not be started: " + lastError.strip());
        return null;
    }

    static int freePort() throws IOException {
        try (ServerSocket s = new ServerSocket(0, 1, java.net.InetAddress.getByName("127.0.0.1"))) {
            return s.getLocalPort();
        }
    }

    private static boolean accepts(int port) {
        try (Socket s = new Socket()) {
            s.connect(new InetSocketAddress("127.0.0.1", port), 200);
            return true;
        } catch (IOException e) {
            return false;
        }
    }

    URI url() {
        return URI.create("http://127.0.0.1:" + port + "/");
    }

    /** The request lines of the access log, such as "GET /metadata/timestamp.json". */
    List<String> requests() throws IOException {
        List<String> out = new java.util.ArrayList<>();
        if (!Files.exists(accessLog))
            return out;
        for (String line : Files.readAllLines(accessLog)) {
            int q = line.indexOf('"');
            int end = q < 0 ? -1 : line.indexOf(" HTTP/", q);
            if (end > q)
                out.add(line.substring(q + 1, end));
        }
        return out;
    }

    @Override
    public void close() throws Exception {
        process.destroy();
        if (!process.waitFor(10, TimeUnit.SECONDS))
            process.destroyForcibly().waitFor(10, TimeUnit.SECONDS);
    }
}
