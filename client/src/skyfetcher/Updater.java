package skyfetcher;

import java.io.IOException;
import java.net.URI;
import java.nio.channels.FileChannel;
import java.nio.channels.FileLock;
import java.nio.channels.OverlappingFileLockException;
import java.nio.file.DirectoryStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.StandardOpenOption;
import java.time.Instant;
import java.util.ArrayList;
import java.util.HashSet;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Locale;
import java.util.Map;
import java.util.Set;

/**
 * One run: trust the mirror's newest metadata, decide what this store
 * needs, download it verified, deliver it. Mirrors are tried in the
 * configured order; any network or verification failure moves on to the
 * next one, and each target may come from a different mirror than the
 * metadata (targets are named by hash, so any copy is as good as another).
 */
public final class Updater {
    /** The longest wait for another client run holding the state directory. */
    static final long LOCK_WAIT_MILLIS = 300_000;

    private final Config config;
    private final Log log;
    private final Http http;
    private final Instant now;
    private int goodMirror;

    public Updater(Config config, Log log, Http http, Instant now) {
        this.config = config;
        this.log = log;
        this.http = http;
        this.now = now;
    }

    /** Runs the request; returns normally on success, including nothing to do. */
    public void run(CommandLine cl, Map<String, String> env) throws Failure {
        Path partials = config.stateDir.resolve("partial");
        try {
            Files.createDirectories(partials);
        } catch (IOException e) {
            throw Failure.local("cannot create " + partials + ": " + e.getMessage());
        }
        try (FileChannel lockFile = FileChannel.open(config.stateDir.resolve("lock"), StandardOpenOption.CREATE,
                                                     StandardOpenOption.WRITE);
             FileLock lock = lockState(lockFile)) {
            Trust trust = Trust.open(config.stateDir, config.trustedRoot, now, http, log);
            refresh(trust);
            Map<String, Metadata.Target> targets = trust.targets();
            if (cl.mode == CommandLine.Mode.FULL)
                full(cl, env, targets, partials);
            else
                microdefs(cl, env, targets, partials);
            dropStalePartials(partials, targets);
        } catch (IOException e) {
            throw Failure.local("cannot lock " + config.stateDir + ": " + e.getMessage());
        }
    }

    private FileLock lockState(FileChannel channel) throws IOException, Failure {
        long deadline = System.currentTimeMillis() + LOCK_WAIT_MILLIS;
        boolean told = false;
        while (true) {
            try {
                FileLock l = channel.tryLock();
                if (l != null)
                    return l;
            } catch (OverlappingFileLockException e) {
                // held inside this process: wait like for another process
            }
            if (System.currentTimeMillis() > deadline)
                throw Failure.local("another update client has held " + config.stateDir + " for too long");
            if (!told)
                log.step("waiting for another update client to finish");
            told = true;
            try {
                Thread.sleep(500);
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
                throw Failure.local("interrupted while waiting for the state directory");
            }
        }
    }

    private void refresh(Trust trust) throws Failure {
        Failure worst = null;
        for (int i = 0; i < config.mirrors.size(); ++i) {
            URI mirror = config.mirrors.get(i);
            try {
                trust.refresh(mirror);
                goodMirror = i;
                log.step("metadata verified from " + mirror + " (root version " + trust.rootVersion() + ")");
                return;
            } catch (Failure f) {
                if (f.kind != Failure.Kind.NETWORK && f.kind != Failure.Kind.VERIFICATION)
                    throw f;
                log.step("mirror " + mirror + " refused: " + f.getMessage());
                worst = worse(worst, f);
            }
        }
        throw worst;
    }

    /** Verification problems outrank network ones: they may be an attack. */
    private static Failure worse(Failure a, Failure b) {
        if (a == null)
            return b;
        return b.kind == Failure.Kind.VERIFICATION && a.kind != Failure.Kind.VERIFICATION ? b : a;
    }

    private void full(CommandLine cl, Map<String, String> env, Map<String, Metadata.Target> targets, Path partials)
        throws Failure {
        Path dest = downloadDir(env, "QORDEFSDIR");
        if (!cl.contentType.equals("VirusDef"))
            throw Failure.usage("unknown content \"" + cl.contentType + "\" (a full update fetches VirusDef)");
        Offer offer = Offer.find(targets, cl.product, "");
        long seq = offer.sequence;
        int[] mirrorSet = {Sequence.year(seq), Sequence.month(seq), Sequence.day(seq),
                           Math.min(Sequence.revision(seq), 99)};
        int[] stamp = {cl.stampYear, cl.stampMonth, cl.stampDay, cl.stampRevision};
        if (compare(mirrorSet, stamp) <= 0) {
            log.step("already up to date: the mirror's newest set is " + offer.setName);
            return;
        }
        log.step(String.format(Locale.ROOT, "fetching set %s: %d files, %s", offer.setName, offer.files.size(),
                               size(offer.totalLength())));
        long started = System.nanoTime();
        Map<String, Path> byName = new LinkedHashMap<>();
        for (Map.Entry<String, Metadata.Target> f : offer.files.entrySet())
            byName.put(f.getKey(), download(f.getValue(), partials));
        log.step(String.format(Locale.ROOT, "downloaded %s in %.1f s", size(http.bytesReceived()),
                               (System.nanoTime() - started) / 1e9));
        try (Delivery d = new Delivery(dest)) {
            d.files(byName);
            d.commit();
        }
        log.step("delivered set " + offer.setName + " to " + dest);
    }

    private static int compare(int[] a, int[] b) {
        for (int i = 0; i < a.length; ++i)
            if (a[i] != b[i])
                return Integer.compare(a[i], b[i]);
        return 0;
    }

    private void microdefs(CommandLine cl, Map<String, String> env, Map<String, Metadata.Target> targets,
                           Path partials) throws Failure {
        Path hubDir = downloadDir(env, "HUBDELTADIR"), directDir = downloadDir(env, "CURDELTADIR");
        LocalStore store = LocalStore.ofDownloadDirs(hubDir, directDir);
        Offer offer = Offer.find(targets, cl.product, store.contentType());
        Path newestDir = store.newestSet();
        // The store sends 0 for what it could not establish (".Error"
        // channel); its newest set can still be read from definfo.dat.
        long newest = cl.newestSequence != 0 ? cl.newestSequence : LocalStore.sequenceOf(newestDir);
        log.debug("store " + store.defsDir + ": newest " + newest + ", hub " + cl.hubSequence + ", channel "
                  + cl.channel + "; mirror: " + offer.setName + " with " + offer.packages.size() + " packages");
        // A hub package both moves the hub forward and yields the newest
        // set, which the store integrates; a direct package leaves the hub
        // behind, and the store applies only the direct one when both are
        // delivered. So the hub package is preferred whenever the local hub
        // is exactly its recorded source.
        Offer.Package hub = null;
        boolean hubBehind = cl.hubSequence == 0 || cl.hubSequence < offer.sequence;
        if (hubBehind && offer.hasPackages("binhub"))
            hub = offer.packageFrom("binhub", LocalStore.digest(store.binaryHub()));
        if (newest >= offer.sequence) {
            if (hub == null) {
                log.step("already up to date: the mirror's newest set is " + offer.setName);
                return;
            }
            log.step("the newest set is in place; bringing the binary hub up to it");
        }
        Offer.Package chosen = hub;
        if (chosen == null && newest < offer.sequence)
            chosen = offer.packageFrom("direct", LocalStore.digest(newestDir));
        if (chosen == null)
            throw new Failure(Failure.Kind.UNAVAILABLE,
                              "no package on the mirror starts from this store's sets (newest " + name(newestDir)
                                  + ", hub " + (cl.hubSequence == 0 ? "unknown" : cl.hubSequence)
                                  + "); a full update (qordefutil -l) is needed to reach " + offer.setName);
        boolean isHub = chosen.kind.equals("binhub");
        log.step(String.format(Locale.ROOT, "fetching %s package %s -> %s (%s)", isHub ? "hub" : "direct",
                               chosen.fromSet, offer.setName, size(chosen.target.length)));
        Path file = download(chosen.target, partials);
        try (Delivery d = new Delivery(isHub ? hubDir : directDir)) {
            d.packageWithMarker(file, chosen.fileName(), isHub ? "hub.scr" : "cur.scr", chosen.target.path);
            d.commit();
        }
        log.step("delivered " + chosen.fileName() + " to " + (isHub ? hubDir : directDir));
    }

    private static String name(Path dir) {
        return dir == null ? "unknown" : dir.getFileName().toString();
    }

    private static Path downloadDir(Map<String, String> env, String variable) throws Failure {
        String v = env.get(variable);
        if (v == null || v.isEmpty())
            throw Failure.usage(variable + " is not set: the store names the download directory there");
        Path p = Paths.get(v);
        if (!Files.isDirectory(p))
            throw Failure.usage(variable + " names " + v + ", which is not a directory");
        return p;
    }

    /** A verified copy of the target in the partial directory, from the first mirror that has it. */
    private Path download(Metadata.Target t, Path partials) throws Failure {
        Path partial = partials.resolve(Hashes.hex(t.sha256) + ".part");
        Failure worst = null;
        int n = config.mirrors.size();
        for (int k = 0; k < n; ++k) {
            URI mirror = config.mirrors.get((goodMirror + k) % n);
            try {
                http.fetchTarget(at(mirror, t.mirrorPath()), t.length, t.sha256, partial);
                return partial;
            } catch (Http.Missing e) {
                log.step("mirror " + mirror + " lacks " + t.path);
                worst = worse(worst, Failure.network(t.path + " is on no mirror"));
            } catch (Failure f) {
                if (f.kind != Failure.Kind.NETWORK && f.kind != Failure.Kind.VERIFICATION)
                    throw f;
                log.step("mirror " + mirror + " failed on " + t.path + ": " + f.getMessage());
                worst = worse(worst, f);
            }
        }
        throw worst;
    }

    /**
     * A path below the mirror, percent-encoded: signed target paths may hold
     * any printable character, and a space or '%' must not turn into a
     * malformed or different URL.
     */
    static URI at(URI mirror, String path) throws Failure {
        try {
            return mirror.resolve(new URI(null, null, path, null));
        } catch (java.net.URISyntaxException | IllegalArgumentException e) {
            throw Failure.verification("target path \"" + path + "\" cannot be fetched: " + e.getMessage());
        }
    }

    /** Partial files of targets the metadata no longer names can never be completed. */
    private void dropStalePartials(Path partials, Map<String, Metadata.Target> targets) {
        Set<String> wanted = new HashSet<>();
        for (Metadata.Target t : targets.values()) wanted.add(Hashes.hex(t.sha256) + ".part");
        List<Path> stale = new ArrayList<>();
        try (DirectoryStream<Path> entries = Files.newDirectoryStream(partials)) {
            for (Path p : entries)
                if (!wanted.contains(p.getFileName().toString()))
                    stale.add(p);
            for (Path p : stale) Files.deleteIfExists(p);
        } catch (IOException e) {
            log.debug("could not clean " + partials + ": " + e.getMessage());
        }
    }

    static String size(long bytes) {
        if (bytes < 1024 * 1024)
            return String.format(Locale.ROOT, "%.1f KiB", bytes / 1024.0);
        return String.format(Locale.ROOT, "%.1f MiB", bytes / (1024.0 * 1024));
    }
}
