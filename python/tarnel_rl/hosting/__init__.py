"""Hosting the page: starting the reference user interface in Node.js or headless Chromium, checking its
options, and running it in the foreground."""
