# Read after the platform's own rules: the CE cross compiler's C++ programs link through its C
# driver, as it has no C++ library to add.
set(CMAKE_CXX_LINK_EXECUTABLE
    "<CMAKE_C_COMPILER> <FLAGS> <CMAKE_CXX_LINK_FLAGS> <LINK_FLAGS> <OBJECTS> -o <TARGET> <LINK_LIBRARIES>")
