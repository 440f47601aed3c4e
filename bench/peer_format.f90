! The same grid records written by the Fortran run-time, as the peer that the
! format interpreter is measured against.
program peer_format
  implicit none
  integer, parameter :: n = 1000000
  real :: v(6)
  integer :: i, t0, t1, rate
  v = (/ 0.125, -3.5e-4, 17.25, -0.0, 6.02e23, 1.0/3.0 /)
  open(10, file='/dev/null')
  call system_clock(t0, rate)
  do i = 1, n
    write(10, '(6(1x,e12.6))') v
    v(1) = v(1) + 1.0
  end do
  call system_clock(t1)
  write(*, '(a,f8.1,a)') 'gfortran grid record write: ', &
       real(t1 - t0) / real(rate) * 1.0e9 / real(n), ' ns per record'
end program peer_format
