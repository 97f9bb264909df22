// The mirror fixture lives in its header; this file keeps its place in the build.
#include "tests/publisher/mirror_fixture.h"
