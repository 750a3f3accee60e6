// The translation unit that carries the test programs' precompiled Qt headers (tests/CMakeLists.txt).
