# Read by cpack when it runs: each package's control Description is its own synopsis and text
# (CPACK_DEBIAN_<COMPONENT>_DESCRIPTION), without the project's summary put in front of it.
unset(CPACK_PACKAGE_DESCRIPTION_SUMMARY)
