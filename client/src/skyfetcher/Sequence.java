package skyfetcher;

/**
 * The store's sequence number of a definition set: (year - 2000) * 10,000,000
 * + month * 100,000 + day * 1,000 + revision, defined for 2000-2100, months
 * 1-12, days 1-31 and revisions 0-999. It orders sets by date and revision,
 * so the client compares sets by it alone.
 */
public final class Sequence {
    private Sequence() {}

    public static boolean isValid(long n) {
        if (n <= 0 || n > 1001231999L)
            return false;
        long month = n / 100000 % 100, day = n / 1000 % 100;
        return month >= 1 && month <= 12 && day >= 1 && day <= 31;
    }

    public static long of(int year, int month, int day, int revision) {
        if (year < 2000 || year > 2100 || month < 1 || month > 12 || day < 1 || day > 31 || revision < 0
            || revision > 999)
            return 0;
        return (year - 2000) * 10000000L + month * 100000L + day * 1000L + revision;
    }

    public static int year(long n) {
        return (int) (n / 10000000) + 2000;
    }

    public static int month(long n) {
        return (int) (n / 100000 % 100);
    }

    public static int day(long n) {
        return (int) (n / 1000 % 100);
    }

    public static int revision(long n) {
        return (int) (n % 1000);
    }

    /** The set's directory name in the store, "YYYYMMDD.RRR". */
    public static String dirName(long n) {
        return String.format("%04d%02d%02d.%03d", year(n), month(n), day(n), revision(n));
    }
}
