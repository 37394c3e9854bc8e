; The interrupt vectors, each a long jump: the reset vector to the C start-up code, INT2
; (USB) to its handler, every other one to a bare RETI. Code proper starts at 0x0100.
	.module	vectors
	.globl	__sdcc_gsinit_startup
	.globl	_usb_isr

	.area	VECTORS (ABS,CODE)
	.org	0x0000
	ljmp	__sdcc_gsinit_startup
	.org	0x0003		; INT0
	ljmp	unused_interrupt
	.org	0x000B		; timer 0
	ljmp	unused_interrupt
	.org	0x0013		; INT1
	ljmp	unused_interrupt
	.org	0x001B		; timer 1
	ljmp	unused_interrupt
	.org	0x0023		; UART0
	ljmp	unused_interrupt
	.org	0x002B		; timer 2
	ljmp	unused_interrupt
	.org	0x0033		; resume
	ljmp	unused_interrupt
	.org	0x003B		; UART1
	ljmp	unused_interrupt
	.org	0x0043		; INT2: USB
	ljmp	_usb_isr
	.org	0x004B		; INT3: I2C
	ljmp	unused_interrupt
	.org	0x0053		; INT4
	ljmp	unused_interrupt
	.org	0x005B		; INT5
	ljmp	unused_interrupt
	.org	0x0063		; INT6
	ljmp	unused_interrupt

	.area	CSEG (CODE)
unused_interrupt:
	reti
