"""The analyser: lint entry points, project discovery, fixes and review suggestions."""
