"""The hypothesis profiles of the suite. `--hypothesis-profile=quick` runs every test with a tenth
of its random cases (support.examples scales the counts that tests set themselves): the run of
the suite under emulation, where a test is 5 to 15 times slower (make wheels-check
WHEELS_SUBSET=aarch64)."""
from hypothesis import settings

settings.register_profile("quick", max_examples=10)
