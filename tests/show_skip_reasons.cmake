# cmake -P show_skip_reasons.cmake FOLDER: one line a skipped suite, its reason.
file(GLOB reasons ${CMAKE_ARGV3}/*)
foreach(reason IN LISTS reasons)
  get_filename_component(suite ${reason} NAME)
  file(READ ${reason} why)
  string(STRIP "${why}" why)
  message("${suite} skipped: ${why}")
endforeach()
