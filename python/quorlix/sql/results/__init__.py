"""Bounded results: ``cuts`` limits the rows fetched and cuts long values as they arrive,
``render`` turns the rows into the text the chat model reads, within its character cap."""
