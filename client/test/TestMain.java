import static org.junit.platform.engine.discovery.DiscoverySelectors.selectClass;

import java.io.PrintWriter;
import org.junit.platform.launcher.core.LauncherDiscoveryRequestBuilder;
import org.junit.platform.launcher.core.LauncherFactory;
import org.junit.platform.launcher.listeners.SummaryGeneratingListener;
import org.junit.platform.launcher.listeners.TestExecutionSummary;

// Exit status for CTest: 0 when every test passed, 1 when one failed or none ran, 77 (skip) when some were
// aborted because what they need could not be started, so a skipped end-to-end test never shows as a pass.
public final class TestMain {
    public static void main(String[] args) {
        LauncherDiscoveryRequestBuilder request = LauncherDiscoveryRequestBuilder.request();
        for (String name : args) request.selectors(selectClass(name));
        SummaryGeneratingListener summary = new SummaryGeneratingListener();
        LauncherFactory.create().execute(request.build(), summary);
        TestExecutionSummary s = summary.getSummary();
        PrintWriter out = new PrintWriter(System.out, true);
        s.printFailuresTo(out, 8);
        s.printTo(out);
        boolean failed = s.getTotalFailureCount() > 0 || s.getTestsSucceededCount() + s.getTestsAbortedCount() == 0;
        System.exit(failed ? 1 : s.getTestsAbortedCount() > 0 ? 77 : 0);
    }
}
