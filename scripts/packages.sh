# The Debian packages of each kind of build (sourced by the other scripts).
SIM_PACKAGES=(g++ cmake ninja-build nlohmann-json3-dev libcli11-dev)
TEST_PACKAGES=(googletest libgtest-dev libgmock-dev clang libclang-rt-14-dev libbenchmark-dev)
WINDOWS_PACKAGES=(mingw-w64 wine64 xvfb nsis wixl msitools)
