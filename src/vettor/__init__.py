"""vettor: static analysis for Django projects."""
