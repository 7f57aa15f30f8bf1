# The folder for what is fetched or made once and shared by every build tree,
# never the source tree. The scripts and tests that the build runs get it as
# WDTAG_CACHE.
if(DEFINED ENV{WDTAG_CACHE})
  set(default_cache $ENV{WDTAG_CACHE})
elseif(DEFINED ENV{XDG_CACHE_HOME})
  set(default_cache $ENV{XDG_CACHE_HOME}/wdtag-poweroff)
else()
  set(default_cache $ENV{HOME}/.cache/wdtag-poweroff)
endif()
set(WDTAG_CACHE_DIR ${default_cache} CACHE PATH
  "Cache shared by build trees: the sysroot, the private apt state, Debian roots")
