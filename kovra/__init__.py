# Top-level kovra package: kovra.reporter holds the built reporter extension
# modules; the other subpackages here are small stand-ins for framework packages
# that are not shipped with this tree.
