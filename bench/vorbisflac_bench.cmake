add_executable(vorbisflac_bench vorbisflac_bench.cpp)
target_link_libraries(vorbisflac_bench PRIVATE tunevert_warnings)
target_compile_definitions(vorbisflac_bench PRIVATE TUNEVERT_CLI="$<TARGET_FILE:tunevert-cli>")
add_dependencies(vorbisflac_bench tunevert-cli)
