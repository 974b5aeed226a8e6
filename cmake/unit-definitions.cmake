# What the unit's headers are asked for: the platform's own declarations beside POSIX's, which
# their strict mode hides. The unit build (qnx-armv7le.cmake) and the host's target check
# (tests/target-check) define the same.
set(UNIT_DEFINITIONS _QNX_SOURCE)
