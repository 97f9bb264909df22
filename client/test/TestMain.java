import static org.junit.platform.engine.discovery.DiscoverySelectors.selectClass;

import java.io.PrintWriter;
import org.junit.platform.engine.TestExecutionResult;
import org.junit.platform.launcher.TestExecutionListener;
import org.junit.platform.launcher.TestIdentifier;
import org.junit.platform.launcher.core.LauncherDiscoveryRequestBuilder;
import org.junit.platform.launcher.core.LauncherFactory;
import org.junit.platform.launcher.listeners.SummaryGeneratingListener;
import org.junit.platform.launcher.listeners.TestExecutionSummary;

/**
 * Runs the named test classes for CTest: exit status 0 when every test
 * passed, 1 when one failed or none ran, 77 (CTest's skip code here) when
 * some were skipped because what they need could not be started, so that a
 * skipped end-to-end test never shows as a pass.
 */
public final class TestMain {
    public static void main(String[] args) {
        LauncherDiscoveryRequestBuilder request = LauncherDiscoveryRequestBuilder.request();
        for (String name : args) request.selectors(selectClass(name));
        SummaryGeneratingListener summary = new SummaryGeneratingListener();
        LauncherFactory.create().execute(request.build(), summary, new TestExecutionListener() {
            @Override
            public void executionFinished(TestIdentifier id, TestExecutionResult result) {
                if (id.isTest())
                    System.out.println(result.getStatus() + " " + id.getDisplayName()
                                       + result.getThrowable().map(t -> ": " + t.getMessage()).orElse(""));
            }
        });
        TestExecutionSummary s = summary.getSummary();
        s.printFailuresTo(new PrintWriter(System.out, true), 8);
        s.printTo(new PrintWriter(System.out, true));
        if (s.getTotalFailureCount() > 0 || s.getTestsSucceededCount() + s.getTestsAbortedCount() == 0)
            System.exit(1);
        System.exit(s.getTestsAbortedCount() > 0 ? 77 : 0);
    }
}
