'''Replies built with GLib's Gio, which (unlike dbus-python) makes one for any
reply serial: forged answers for the tests, seeds for the fuzzers.'''

from gi.repository import Gio


def reply_message(reply_serial, error_name=None):
    '''A method return, or an error named ERROR_NAME, answering REPLY_SERIAL.'''
    message = Gio.DBusMessage.new()
    if error_name:
        message.set_message_type(Gio.DBusMessageType.ERROR)
        message.set_error_name(error_name)
    else:
        message.set_message_type(Gio.DBusMessageType.METHOD_RETURN)
    message.set_reply_serial(reply_serial)
    return message
