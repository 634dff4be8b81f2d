// Keeps the support library non-empty.
namespace sweepbox_test_support {
int unused = 0;
}
