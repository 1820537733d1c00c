# Holds the built reporter extension modules (placed here by the CMake build).
