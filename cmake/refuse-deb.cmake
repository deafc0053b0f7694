# Run by cpack before it packs, where dpkg-shlibdeps or file was missing at configuration: a .deb
# must not be made, since it would carry no Depends, install anywhere and fail to start.
if(CPACK_GENERATOR STREQUAL "DEB")
  message(FATAL_ERROR "the .deb needs dpkg-shlibdeps (dpkg-dev) and file to compute its dependencies: "
                      "install them (apt-get install dpkg-dev file) and configure again")
endif()
