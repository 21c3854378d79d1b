# Writes <FOLDER>/SHA256SUMS for every .deb and .zip in FOLDER, in the format
# of sha256sum, so that `sha256sum -c SHA256SUMS` checks them:
#
#   cmake -DFOLDER=build-packages -P cmake/sha256sums.cmake

cmake_minimum_required(VERSION 3.21)

file(GLOB artifacts RELATIVE ${FOLDER} ${FOLDER}/*.deb ${FOLDER}/*.zip)
list(SORT artifacts)
set(sums "")
foreach(artifact IN LISTS artifacts)
  file(SHA256 ${FOLDER}/${artifact} sum)
  string(APPEND sums "${sum}  ${artifact}\n")
endforeach()
# Replaced in one step: a reader sees the old list or the new one.
file(WRITE ${FOLDER}/SHA256SUMS.new "${sums}")
file(RENAME ${FOLDER}/SHA256SUMS.new ${FOLDER}/SHA256SUMS)
