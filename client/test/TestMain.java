import static org.junit.platform.engine.discovery.DiscoverySelectors.selectClass;

import java.io.PrintWriter;
import org.junit.platform.engine.TestExecutionResult;
import org.junit.platform.launcher.Launcher;
import org.junit.platform.launcher.LauncherDiscoveryRequest;
import org.junit.platform.launcher.TestExecutionListener;
import org.junit.platform.launcher.TestIdentifier;
import org.junit.platform.launcher.core.LauncherDiscoveryRequestBuilder;
import org.junit.platform.launcher.core.LauncherFactory;
import org.junit.platform.launcher.listeners.SummaryGeneratingListener;
import org.junit.platform.launcher.listeners.TestExecutionSummary;

/**
 * Runs the named test classes for CTest. Exit status 0 when every test
 * passed, 1 when one failed or none ran, and 77 (CTest's skip code here)
 * when none failed but some were skipped because what they need could not
 * be started: a skipped end-to-end test must show as skipped, never as a
 * pass.
 */
public final class TestMain {
    public static void main(String[] args) {
        LauncherDiscoveryRequestBuilder request = LauncherDiscoveryRequestBuilder.request();
        for (String name : args) request.selectors(selectClass(name));
        LauncherDiscoveryRequest built = request.build();
        Launcher launcher = LauncherFactory.create();
        SummaryGeneratingListener summary = new SummaryGeneratingListener();
        TestExecutionListener progress = new TestExecutionListener() {
            @Override
            public void executionFinished(TestIdentifier id, TestExecutionResult result) {
                if (!id.isTest())
                    return;
                String reason = result.getThrowable().map(t -> ": " + t.getMessage()).orElse("");
                System.out.println(result.getStatus() + " " + id.getDisplayName()
                                   + (result.getStatus() == TestExecutionResult.Status.SUCCESSFUL ? "" : reason));
            }
        };
        launcher.execute(built, summary, progress);
        TestExecutionSummary s = summary.getSummary();
        PrintWriter out = new PrintWriter(System.out, true);
        s.printFailuresTo(out, 8);
        s.printTo(out);
        if (s.getTotalFailureCount() > 0 || s.getTestsSucceededCount() + s.getTestsAbortedCount() == 0)
            System.exit(1);
        System.exit(s.getTestsAbortedCount() > 0 ? 77 : 0);
    }
}
